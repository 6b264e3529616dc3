#pragma once

#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"

#include "support/app/FakeLibraryServices.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace app::testing {

// A library store over fakes and a non-captured index with its own settings file, in a temporary
// folder, wired into an AppContext the views take.
struct ShellTestContext {
    ShellTestContext()
    {
        settings = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
        resetNonCapturedIndex();
        makeStore();
    }

    // A fresh store reading what the previous one saved.
    void makeStore()
    {
        context.store = nullptr;
        store.reset();
        store = std::make_unique<LibraryStore>(fakes.services(), dir.filePath("store"));
        context.store = store.get();
        context.settings = settings.get();
    }

    // A fresh index reading the confirmation flag as a new launch would.
    void resetNonCapturedIndex()
    {
        NonCapturedIndex::Environment environment;
        environment.settingsFile = dir.filePath("settings.ini");
        environment.cacheDirectory = dir.filePath("noncaptured");
        nonCaptured = std::make_unique<NonCapturedIndex>(environment);
        context.nonCaptured = nonCaptured.get();
    }

    QString folder(const QString& name)
    {
        const QString path = dir.filePath("folders/" + name);
        QDir().mkpath(path);
        return path;
    }

    PhotoLibrary addLibrary(const QString& name) { return *store->addLibrary(folder(name), name); }

    // The folder disappears and a volume event makes the store notice.
    void unplug(const PhotoLibrary& library)
    {
        QDir(library.displayPath).removeRecursively();
        fakes.volumes.fire();
    }

    QTemporaryDir dir;
    FakeLibraryServices fakes;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<NonCapturedIndex> nonCaptured;
    std::unique_ptr<LibraryStore> store;
    AppContext context;
};

} // namespace app::testing
