#include "app/views/shell/MainWindow.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/views/shell/ContentView.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace app {

MainWindow::MainWindow(AppContext& context, QWidget* parent) : QMainWindow(parent)
{
    setWindowTitle("Tessivarnholm");
    resize(1280, 820);
    setMinimumSize(880, 560);
    m_content = new ContentView(context, this);
    setCentralWidget(m_content);

    QMenu* file = menuBar()->addMenu("文件");
    m_newLibrary = file->addAction("新建图库…");
    m_newLibrary->setShortcut(QKeySequence::New);
    m_newLibrary->setShortcutContext(Qt::ApplicationShortcut);
    LibraryStore* store = context.store;
    connect(m_newLibrary, &QAction::triggered, store, [store] { store->beginAddLibrary(); });

    file->addSeparator();
    m_quit = file->addAction("退出");
    // Some platform themes (Qt's fallback among them) bind nothing to the standard Quit key.
    const QKeySequence quitKey(QKeySequence::Quit);
    m_quit->setShortcut(quitKey.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : quitKey);
    m_quit->setShortcutContext(Qt::ApplicationShortcut);
    m_quit->setMenuRole(QAction::QuitRole);
    // Closing the last window ends the application and runs the usual clean-up at exit.
    connect(m_quit, &QAction::triggered, this, &QWidget::close);
}

} // namespace app
