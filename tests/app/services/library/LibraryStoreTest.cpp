#include "app/services/library/LibraryStore.h"

#include "support/app/FakeLibraryServices.h"
#include "support/app/QtPrinters.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <mutex>
#include <QThread>
#include <QTimeZone>

using namespace app;
using app::test::waitFor;
using app::testing::FakeLibraryServices;
using app::testing::GatedBookmarks;

namespace {

PhotoLibrary makeLibrary(const QString& name, const QString& path)
{
    PhotoLibrary library;
    library.id = QUuid::createUuid();
    library.name = name;
    library.bookmark = "fake:" + path.toUtf8();
    library.displayPath = path;
    library.dateAdded = QDateTime(QDate(2024, 5, 1), QTime(12, 0), QTimeZone::utc());
    return library;
}

class LibraryStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        storeFolder = dir.filePath("support/Tessivarnholm");
        QDir().mkpath(storeFolder);
        storeFile = storeFolder + "/libraries.json";
    }

    QString folder(const QString& name)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(path);
        return path;
    }

    void writeList(const QList<PhotoLibrary>& libraries) { writeRaw(PhotoLibrary::encodeList(libraries)); }

    void writeRaw(const QByteArray& bytes)
    {
        QFile file(storeFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.flush();
        // Back-date it so a rewrite is visible in the modification time.
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
    }

    QByteArray fileBytes() const
    {
        QFile file(storeFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QList<PhotoLibrary> savedList() const { return PhotoLibrary::decodeList(fileBytes()).value_or(QList<PhotoLibrary>{}); }

    QDateTime fileTime() const { return QFileInfo(storeFile).lastModified(); }

    std::unique_ptr<LibraryStore> makeStore() { return std::make_unique<LibraryStore>(fakes.services(), storeFolder); }

    static QStringList names(const LibraryStore& store)
    {
        QStringList result;
        for (const PhotoLibrary& library : store.libraries())
            result.append(library.name);
        return result;
    }

    QTemporaryDir dir;
    QString storeFolder;
    QString storeFile;
    FakeLibraryServices fakes;
};

TEST_F(LibraryStoreTest, DuplicatePathsAreDroppedAtStartUpAndSaved)
{
    const QString photos = folder("photos");
    ASSERT_TRUE(QFile::link(photos, dir.filePath("link")));
    // "inner/.." is taken as written, not as the parent of where the link points.
    folder("deep/photos");
    ASSERT_TRUE(QFile::link(folder("deep/inner"), dir.filePath("inner")));
    struct Case {
        const char* name;
        QString duplicatePath;
    };
    const QList<Case> cases{
        {"trailing slash", photos + "/"},
        {"single-dot component", dir.path() + "/./photos"},
        {"dot-dot component", photos + "/../photos"},
        {"symbolic link", dir.filePath("link")},
        {"dot-dot after a symbolic link", dir.filePath("inner") + "/../photos"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PhotoLibrary first = makeLibrary("first", photos);
        const PhotoLibrary other = makeLibrary("other", folder("other"));
        const PhotoLibrary duplicate = makeLibrary("duplicate", c.duplicatePath);
        writeList({first, duplicate, other});
        const QDateTime before = fileTime();

        const auto store = makeStore();
        EXPECT_EQ(names(*store), (QStringList{"first", "other"}));
        EXPECT_EQ(savedList(), (QList<PhotoLibrary>{first, other}));
        EXPECT_NE(fileTime(), before);
        EXPECT_FALSE(store->accessedURLs().contains(duplicate.id));
    }
}

TEST_F(LibraryStoreTest, StartUpWithoutDuplicatesLeavesTheFileAlone)
{
    // Two libraries on drives that are not plugged in: their paths cannot be resolved, and an
    // empty canonical path must not make them look like the same folder.
    const PhotoLibrary present = makeLibrary("present", folder("present"));
    const PhotoLibrary unpluggedA = makeLibrary("a", "/media/nobody/DriveA/Photos");
    const PhotoLibrary unpluggedB = makeLibrary("b", "/media/nobody/DriveB/Photos");
    const PhotoLibrary unpluggedAgain = makeLibrary("a again", "/media/nobody/DriveA/Photos/");
    writeList({present, unpluggedA, unpluggedB, unpluggedAgain});
    const QByteArray bytes = fileBytes();
    const QDateTime before = fileTime();

    const auto store = makeStore();
    EXPECT_EQ(names(*store), (QStringList{"present", "a", "b", "a again"}));
    EXPECT_EQ(store->unavailableIDs(), (QSet<QUuid>{unpluggedA.id, unpluggedB.id, unpluggedAgain.id}));
    EXPECT_EQ(fileBytes(), bytes);
    EXPECT_EQ(fileTime(), before);
}

TEST_F(LibraryStoreTest, LibrariesOnDrivesOfTheSameNameAreNoDuplicates)
{
    // Two cards of the same name were mounted side by side ("CARD" and "CARD1"); the second one, later
    // mounted alone, was found under the first one's path, which its stored path now names too.
    const QString cardPath = folder("CARD/DCIM");
    struct Case {
        const char* name;
        bool firstCardPresent;
    };
    for (const Case& c : {Case{"only the second card is plugged in", false}, Case{"both are plugged in", true}}) {
        SCOPED_TRACE(c.name);
        fakes.bookmarks.unresolvable.clear();
        fakes.bookmarks.moved.clear();
        PhotoLibrary first = makeLibrary("first card", cardPath);
        PhotoLibrary second = makeLibrary("second card", cardPath);
        if (c.firstCardPresent) {
            second.bookmark = "fake:" + dir.filePath("second").toUtf8();
            fakes.bookmarks.moved.insert(dir.filePath("second"), folder("CARD1/DCIM"));
        } else {
            first.bookmark = "fake:" + dir.filePath("first").toUtf8();
            fakes.bookmarks.unresolvable.insert(dir.filePath("first"));
        }
        writeList({first, second});
        const QByteArray bytes = fileBytes();

        const auto store = makeStore();
        EXPECT_EQ(names(*store), (QStringList{"first card", "second card"}));
        if (!c.firstCardPresent) {
            EXPECT_EQ(fileBytes(), bytes);
        }
    }

    // Only the first card is registered and it is missing: adding a folder at its stored path gives that
    // library back, like any library whose stored path matches; no second one is made.
    PhotoLibrary first = makeLibrary("first card", cardPath);
    first.bookmark = "fake:" + dir.filePath("first").toUtf8();
    fakes.bookmarks.unresolvable.insert(dir.filePath("first"));
    writeList({first});
    const auto store = makeStore();
    ASSERT_TRUE(store->unavailableIDs().contains(first.id));
    const auto added = store->addLibrary(cardPath, "second card");
    ASSERT_TRUE(added);
    EXPECT_EQ(added->id, first.id);
    EXPECT_EQ(names(*store), (QStringList{"first card"}));
    EXPECT_EQ(savedList(), QList<PhotoLibrary>{first});
}

TEST_F(LibraryStoreTest, UnreadableListIsKeptAsideBeforeTheFirstSave)
{
    const QByteArray garbage = R"([{"id":"not a uuid"}])";
    writeRaw(garbage);
    const auto store = makeStore();
    EXPECT_TRUE(store->libraries().isEmpty());
    EXPECT_EQ(fileBytes(), garbage); // nothing written at start-up

    ASSERT_TRUE(store->addLibrary(folder("photos"), "照片"));
    const QStringList aside = QDir(storeFolder).entryList({"libraries.json.bad-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QDir(storeFolder).filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);
    EXPECT_EQ(savedList().size(), 1);

    // Only the first save moves a file aside.
    store->rename(store->libraries().first().id, "新名字");
    EXPECT_EQ(QDir(storeFolder).entryList({"libraries.json.bad-*"}, QDir::Files).size(), 1);
}

TEST_F(LibraryStoreTest, MissingListStartsEmptyAndWritesNothing)
{
    const auto store = makeStore();
    EXPECT_TRUE(store->libraries().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(storeFile));
    EXPECT_EQ(store->storeURL(), storeFile);
}

TEST_F(LibraryStoreTest, AvailabilityFollowsVolumeEvents)
{
    const QString path = folder("drive/Photos");
    const PhotoLibrary library = makeLibrary("drive", path);
    writeList({library});
    const auto store = makeStore();
    QSignalSpy changes(store.get(), &LibraryStore::unavailableIDsChanged);
    EXPECT_TRUE(store->isAvailable(library));
    EXPECT_EQ(fakes.bookmarks.started.value(path), 1);

    // Unplugged: the cached folder is still handed out until a volume event.
    ASSERT_TRUE(QDir(dir.filePath("drive")).rename("Photos", "Elsewhere"));
    EXPECT_EQ(store->resolvedURL(library), path);
    fakes.volumes.fire();
    EXPECT_FALSE(store->isAvailable(library));
    EXPECT_EQ(store->resolvedURL(library), std::nullopt);
    EXPECT_EQ(fakes.bookmarks.stopped.value(path), 3); // the event, then two failed existence checks
    EXPECT_EQ(changes.count(), 1);

    // Plugged in again: no user action needed.
    ASSERT_TRUE(QDir(dir.filePath("drive")).rename("Elsewhere", "Photos"));
    fakes.volumes.fire();
    EXPECT_TRUE(store->isAvailable(library));
    EXPECT_EQ(changes.count(), 2);
    // A second event with nothing changed publishes nothing.
    fakes.volumes.fire();
    EXPECT_EQ(changes.count(), 2);
}

TEST_F(LibraryStoreTest, ResolvingStartsAccessOnceAndRemovalStopsItOnce)
{
    const QString path = folder("photos");
    const PhotoLibrary library = makeLibrary("photos", path);
    writeList({library});
    const auto store = makeStore(); // start-up resolves it
    EXPECT_EQ(store->resolvedURL(library), path);
    EXPECT_EQ(store->resolvedURL(library), path);
    EXPECT_EQ(fakes.bookmarks.started.value(path), 1);
    store->remove(library.id);
    store->remove(library.id);
    EXPECT_EQ(fakes.bookmarks.stopped.value(path), 1);
}

TEST_F(LibraryStoreTest, FailedResolutionsCacheNothing)
{
    const QString refused = folder("refused");
    const PhotoLibrary a = makeLibrary("unresolvable", folder("unresolvable"));
    const PhotoLibrary b = makeLibrary("refused", refused);
    fakes.bookmarks.unresolvable.insert(a.displayPath);
    fakes.bookmarks.refused.insert(refused);
    writeList({a, b});
    const auto store = makeStore();
    EXPECT_EQ(store->unavailableIDs(), (QSet<QUuid>{a.id, b.id}));
    EXPECT_TRUE(store->accessedURLs().isEmpty());
    fakes.bookmarks.refused.clear();
    EXPECT_EQ(store->resolvedURL(b), refused);
}

TEST_F(LibraryStoreTest, StaleBookmarkIsRenewedOnce)
{
    const QString oldPath = dir.filePath("OldLabel/Photos");
    const QString newPath = folder("NewLabel/Photos");
    const PhotoLibrary library = makeLibrary("drive", oldPath);
    fakes.bookmarks.moved.insert(oldPath, newPath);
    writeList({library});

    const auto store = makeStore();
    ASSERT_EQ(store->libraries().size(), 1);
    const PhotoLibrary renewed = store->libraries().first();
    EXPECT_EQ(renewed.displayPath, newPath);
    EXPECT_EQ(renewed.bookmark, "fake:" + newPath.toUtf8());
    EXPECT_EQ(savedList(), QList<PhotoLibrary>{renewed});
    EXPECT_EQ(fakes.bookmarks.madeBookmarks, 1);
    EXPECT_EQ(store->resolvedURL(library), newPath);
    EXPECT_EQ(fakes.bookmarks.madeBookmarks, 1);
}

TEST_F(LibraryStoreTest, AddingLibraries)
{
    const QString photos = folder("photos");
    ASSERT_TRUE(QFile::link(photos, dir.filePath("link")));
    const auto store = makeStore();
    QSignalSpy changes(store.get(), &LibraryStore::librariesChanged);

    const auto added = store->addLibrary(photos + "/", "  我的照片 ");
    ASSERT_TRUE(added);
    EXPECT_EQ(added->name, "  我的照片 "); // stored as given
    EXPECT_EQ(added->displayPath, photos);
    EXPECT_FALSE(added->isExternalVolume);
    EXPECT_EQ(savedList(), QList<PhotoLibrary>{*added});
    EXPECT_FALSE(store->accessedURLs().contains(added->id)); // not resolved when added
    EXPECT_EQ(changes.count(), 1);

    // The same folder again, by another spelling: the existing library, nothing saved.
    const QDateTime saved = fileTime();
    for (const QString& again : {photos, dir.filePath("link"), photos + "/."}) {
        const auto existing = store->addLibrary(again, "other name");
        ASSERT_TRUE(existing);
        EXPECT_EQ(existing->id, added->id);
        EXPECT_EQ(existing->name, "  我的照片 ");
    }
    EXPECT_EQ(store->libraries().size(), 1);
    EXPECT_EQ(fileTime(), saved);
    EXPECT_EQ(changes.count(), 1);

    // No bookmark, no library.
    const QString broken = folder("broken");
    fakes.bookmarks.unbookmarkable.insert(broken);
    EXPECT_EQ(store->addLibrary(broken, "broken"), std::nullopt);
    EXPECT_EQ(store->libraries().size(), 1);

    // External only when the volume says it is not internal; unknown counts as internal.
    struct Case {
        std::optional<bool> internal;
        bool external;
    };
    for (const Case& c : {Case{true, false}, Case{false, true}, Case{std::nullopt, false}}) {
        fakes.bookmarks.internal = c.internal;
        const auto library = store->addLibrary(folder("volume-" + QUuid::createUuid().toString(QUuid::Id128)), "v");
        ASSERT_TRUE(library);
        EXPECT_EQ(library->isExternalVolume, c.external);
    }
}

TEST_F(LibraryStoreTest, MovingLibrariesFollowsListMoveOffsets)
{
    struct Case {
        QList<int> from;
        int to;
        QStringList expected;
    };
    const QList<Case> cases{
        {{0}, 3, {"b", "c", "a", "d"}},
        {{3}, 0, {"d", "a", "b", "c"}},
        {{0, 2}, 4, {"b", "d", "a", "c"}},
        {{1, 3}, 0, {"b", "d", "a", "c"}},
        {{1}, 1, {"a", "b", "c", "d"}},
        {{1}, 2, {"a", "b", "c", "d"}},
        {{2}, 99, {"a", "b", "d", "c"}},
        {{7}, 0, {"a", "b", "c", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.join(",").toStdString());
        writeList({makeLibrary("a", folder("a")), makeLibrary("b", folder("b")), makeLibrary("c", folder("c")),
                   makeLibrary("d", folder("d"))});
        const auto store = makeStore();
        store->moveLibraries(c.from, c.to);
        EXPECT_EQ(names(*store), c.expected);
        QStringList saved;
        for (const PhotoLibrary& library : savedList())
            saved.append(library.name);
        EXPECT_EQ(saved, c.expected);
    }
}

TEST_F(LibraryStoreTest, RenameRemoveAndContentRevision)
{
    const PhotoLibrary a = makeLibrary("a", folder("a"));
    const PhotoLibrary b = makeLibrary("b", "/media/nobody/Gone");
    writeList({a, b});
    const auto store = makeStore();
    QSignalSpy changes(store.get(), &LibraryStore::librariesChanged);

    store->rename(a.id, "  新名字 ");
    EXPECT_EQ(store->library(a.id)->name, "  新名字 ");
    EXPECT_EQ(savedList().first().name, "  新名字 ");
    store->rename(a.id, "  新名字 "); // equal list: saved, but no change published
    EXPECT_EQ(changes.count(), 1);
    store->rename(QUuid::createUuid(), "nobody");
    EXPECT_EQ(changes.count(), 1);

    ASSERT_TRUE(store->unavailableIDs().contains(b.id));
    store->invalidateContent(b.id);
    store->remove(b.id);
    EXPECT_EQ(store->library(b.id), std::nullopt);
    EXPECT_FALSE(store->unavailableIDs().contains(b.id));
    EXPECT_EQ(store->contentRevision(b.id), 1); // revisions outlive removal

    // Removing an unknown library still saves the list.
    QFile::remove(storeFile);
    store->remove(QUuid::createUuid());
    EXPECT_EQ(savedList().size(), 1);

    EXPECT_EQ(store->library(std::nullopt), std::nullopt);
    QSignalSpy revisions(store.get(), &LibraryStore::contentRevisionChanged);
    EXPECT_EQ(store->contentRevision(a.id), 0);
    store->invalidateContent(a.id);
    store->invalidateContent(a.id);
    EXPECT_EQ(store->contentRevision(a.id), 2);
    ASSERT_EQ(revisions.count(), 2);
    EXPECT_EQ(revisions.at(0).at(1).toInt(), 1);
}

TEST_F(LibraryStoreTest, FolderChooserSetsThePendingFolder)
{
    const auto store = makeStore();
    QSignalSpy pending(store.get(), &LibraryStore::pendingFolderChanged);
    store->beginAddLibrary(); // cancelled
    EXPECT_EQ(store->pendingFolder(), std::nullopt);
    EXPECT_EQ(pending.count(), 0);

    fakes.chooser.answer = folder("chosen");
    store->beginAddLibrary();
    ASSERT_TRUE(store->pendingFolder());
    const QUuid first = store->pendingFolder()->id;
    EXPECT_EQ(store->pendingFolder()->url, *fakes.chooser.answer);
    store->beginAddLibrary(); // the same folder again is a new choice
    EXPECT_NE(store->pendingFolder()->id, first);
    fakes.chooser.answer.reset();
    store->beginAddLibrary();
    EXPECT_TRUE(store->pendingFolder());
    EXPECT_EQ(pending.count(), 2);
}

TEST_F(LibraryStoreTest, RevealShowsOnlyResolvedFolders)
{
    const PhotoLibrary present = makeLibrary("present", folder("present"));
    const PhotoLibrary gone = makeLibrary("gone", "/media/nobody/Gone");
    writeList({present, gone});
    const auto store = makeStore();
    store->revealInFinder(gone);
    store->revealInFinder(present);
    EXPECT_EQ(fakes.revealer.revealed, QStringList{present.displayPath});
}

TEST_F(LibraryStoreTest, TeardownStopsEveryAccess)
{
    const PhotoLibrary a = makeLibrary("a", folder("a"));
    const PhotoLibrary b = makeLibrary("b", folder("b"));
    writeList({a, b});
    makeStore().reset();
    EXPECT_EQ(fakes.bookmarks.started, fakes.bookmarks.stopped);
    EXPECT_EQ(fakes.bookmarks.started.size(), 2);
}

// Folder checks run on workers, one per library at a time; one that hangs counts as unavailable after
// two seconds, and its late answer is still taken. Each change of availability bumps the revision.
TEST_F(LibraryStoreTest, HungFolderChecksNeverBlockTheWindow)
{
    const QString path = folder("drive");
    const PhotoLibrary library = makeLibrary("drive", path);
    writeList({library});
    GatedBookmarks gated;
    LibraryStore store({&gated, &fakes.volumes, nullptr, nullptr}, storeFolder);
    // Start-up waited for the check as long as it may, then went on without it.
    EXPECT_FALSE(store.isAvailable(library));
    EXPECT_EQ(store.resolvedURL(library), std::nullopt);
    fakes.volumes.fire();
    fakes.volumes.fire();
    const int beforeAnswer = store.contentRevision(library.id);

    gated.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return store.isAvailable(library); }));
    EXPECT_EQ(store.resolvedURL(library), std::optional<QString>(path));
    EXPECT_GT(store.contentRevision(library.id), beforeAnswer);
    // The events during the hang asked for one more check, run after the first answered.
    ASSERT_TRUE(waitFor([&] { return gated.calls() == 2; }));

    // Hanging again while the window runs: unavailable after the time-out, and the page is told.
    gated.setOpen(false);
    const int beforeHang = store.contentRevision(library.id);
    fakes.volumes.fire();
    ASSERT_TRUE(waitFor([&] { return !store.isAvailable(library); }, 5000));
    EXPECT_GT(store.contentRevision(library.id), beforeHang);
    EXPECT_EQ(gated.maxInFlight(), 1);
    gated.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return store.isAvailable(library); }));
}

} // namespace
