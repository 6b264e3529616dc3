#pragma once

#include <QWidget>

class QPushButton;

namespace app {

class LibraryStore;

// The detail column when nothing is selected: invites the user to add a first library.
class WelcomeView final : public QWidget {
    Q_OBJECT
public:
    explicit WelcomeView(LibraryStore& store, QWidget* parent = nullptr);

    QPushButton* addButton() const { return m_addButton; }

private:
    QPushButton* m_addButton;
};

} // namespace app
