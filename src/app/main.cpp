#include "app/platform/DBusFileRevealer.h"
#include "app/platform/JournalLogSink.h"
#include "app/platform/LinuxBookmarkService.h"
#include "app/platform/LinuxMountTable.h"
#include "app/platform/MountInfoVolumeMonitor.h"
#include "app/platform/ProtocolTextLookup.h"
#include "app/platform/QtTranslations.h"
#include "app/services/AppContext.h"
#include "app/services/LibraryStore.h"
#include "app/services/NonCapturedIndex.h"
#include "app/services/ReceiveServices.h"
#include "app/services/RotationWriter.h"
#include "app/services/ThumbnailProvider.h"
#include "app/views/DialogFolderChooser.h"
#include "app/views/MainWindow.h"
#include "app/views/ViewerToolbarItems.h"

#include <QApplication>
#include <QSettings>

#include <csignal>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Tessivarnholm");
    QCoreApplication::setApplicationName("Tessivarnholm");
    app::installJournalLogSink();
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

    app::MainWindow window(context);
    app::connectRotationAlerts(&window, &rotations);
    window.show();
    return application.exec();
}
