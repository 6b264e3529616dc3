#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace app {

// Asks for the display name of a folder the user just chose, pre-filled with the folder's name.
class NewLibrarySheet final : public QDialog {
    Q_OBJECT
public:
    NewLibrarySheet(const QString& folderPath, std::function<void(const QString&)> onConfirm,
                    QWidget* parent = nullptr);

    QLineEdit* nameField() const { return m_name; }
    QPushButton* createButton() const { return m_create; }
    QPushButton* cancelButton() const { return m_cancel; }
    // The name a folder pre-fills: its last path component ("/" for the root).
    static QString defaultName(const QString& folderPath);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void confirm();
    void updatePathLabel();

    QString m_folderPath;
    std::function<void(const QString&)> m_onConfirm;
    QLineEdit* m_name;
    QLabel* m_path;
    QPushButton* m_create;
    QPushButton* m_cancel;
    bool m_prefilled = false;
};

} // namespace app
