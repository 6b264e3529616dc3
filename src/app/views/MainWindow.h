#pragma once

#include <QMainWindow>

class QAction;

namespace app {

struct AppContext;
class ContentView;

// The one window: the root view and the "文件" menu with its command that adds a library.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppContext& context, QWidget* parent = nullptr);

    ContentView* contentView() const { return m_content; }
    QAction* newLibraryAction() const { return m_newLibrary; }

private:
    ContentView* m_content;
    QAction* m_newLibrary;
};

} // namespace app
