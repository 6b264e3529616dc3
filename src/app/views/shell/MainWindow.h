#pragma once

#include <QMainWindow>

class QAction;

namespace app {

struct AppContext;
class ContentView;

// The one window: the root view and the "文件" menu with its commands to add a library and to quit.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppContext& context, QWidget* parent = nullptr);

    ContentView* contentView() const { return m_content; }
    QAction* newLibraryAction() const { return m_newLibrary; }
    QAction* quitAction() const { return m_quit; }

private:
    ContentView* m_content;
    QAction* m_newLibrary;
    QAction* m_quit;
};

} // namespace app
