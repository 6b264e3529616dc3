#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace app {

// "重命名图库": a name field with a placeholder, which QInputDialog cannot show.
class RenameLibraryDialog final : public QDialog {
    Q_OBJECT
public:
    explicit RenameLibraryDialog(const QString& draftName, QWidget* parent = nullptr);

    QLineEdit* nameField() const { return m_name; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

Q_SIGNALS:
    // "好" was pressed with this text (untrimmed).
    void confirmed(const QString& text);

private:
    QLineEdit* m_name;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace app
