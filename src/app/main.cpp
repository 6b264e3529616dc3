#include "app/platform/desktop/DBusFileRevealer.h"
#include "app/platform/desktop/JournalLogSink.h"
#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountInfoVolumeMonitor.h"
#include "app/platform/desktop/ProtocolTextLookup.h"
#include "app/platform/desktop/QtTranslations.h"
#include "app/platform/desktop/QuitOnSignals.h"
#include "app/platform/desktop/SingleInstance.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/receive/ReceiveServices.h"
#include "app/services/rotation/RotationWriter.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/common/DialogFolderChooser.h"
#include "app/views/shell/MainWindow.h"
#include "app/views/viewer/ViewerToolbarItems.h"

#include <QApplication>
#include <QMessageBox>
#include <QSettings>

#include <csignal>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Tessivarnholm");
    QCoreApplication::setApplicationName("Tessivarnholm");
    app::installJournalLogSink();
    // A logout or `kill` quits like the window's close, so pending turns are written first; taken
    // before a second start waits on the first, which a closed message must end cleanly too.
    app::quitOnSignals();
    // A second start brings the running program's window forward instead, or runs once it ended.
    app::SingleInstance instance;
    if (!instance.isFirst()) {
        const app::SingleInstance::Answer answer = instance.askFirstToRaise();
        if (answer == app::SingleInstance::Answer::raised)
            return 0;
        if (answer == app::SingleInstance::Answer::noAnswer) {
            app::installQtTranslations(application);
            QMessageBox::warning(nullptr, QStringLiteral("Tessivarnholm"), app::SingleInstance::notAnsweringText);
            return 1;
        }
    }
    app::installProtocolTextLookup();
    app::installQtTranslations(application);
    // A phone that hangs up must fail its session, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    // The platform layers outlive the store that uses them.
    app::LinuxMountTable mounts;
    app::LinuxBookmarkService bookmarks(mounts);
    app::MountInfoVolumeMonitor volumes;
    app::DialogFolderChooser chooser;
    app::DBusFileRevealer revealer;
    app::LibraryStore store({&bookmarks, &volumes, &chooser, &revealer});
    chooser.setLastLibraryLookup(app::DialogFolderChooser::lastLibraryIn(store));
    QSettings settings;

    app::AppContext context;
    context.store = &store;
    context.settings = &settings;
    context.thumbnails = &app::ThumbnailProvider::shared();
    context.nonCaptured = &app::NonCapturedIndex::shared();
    context.revealer = &revealer;
    // The transfer and sink threads outlive the window and its receive sheets.
    app::ReceiveServices receiving;
    context.receiveTransports = &receiving.transports();
    // Outlives the window, so turns asked for in a viewer are written after it closes.
    app::RotationWriter rotations(context.thumbnails);
    context.rotations = &rotations;
    // A logout's or checkpoint's save writes the pending turns, as a quit does; the program runs on.
    app::saveOnSessionRequest(&rotations, [&rotations] { rotations.finishAll(); });

    // The players of the last videos end their engines off the window's thread, after it closes:
    // given a while to do so before the program ends.
    struct VideoEngines {
        ~VideoEngines() { app::VideoPlayer::waitForRetired(3000); }
    } videoEngines;
    app::MainWindow window(context);
    app::connectRotationAlerts(&window, &rotations);
    QObject::connect(&instance, &app::SingleInstance::raiseRequested, &window, [&window] {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
    });
    window.show();
    return application.exec();
}
