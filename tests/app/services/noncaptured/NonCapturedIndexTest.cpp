#include "app/models/PhotoLibrary.h"
#include "app/services/noncaptured/NonCapturedIndex.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QThread>
#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <mutex>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>

using namespace app;

namespace {

// Fake classifier and detector: names decide. "shot*" is non-captured, "*person*" shows a person.
struct Counters {
    std::atomic<int> phaseA{0};
    std::atomic<int> detections{0};
    std::mutex mutex;
    QStringList detected;
    QList<int> detectionPolicies; // scheduling policy of each detection's thread
    QList<int> personAnswersAtWrite; // per cache file written, in order: entries with a person answer
    int writesOnMainThread = 0;
    int readsOnMainThread = 0;
};

class IndexTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir().mkpath(dir.filePath("photos"));
    }

    NonCapturedIndex::Environment environment()
    {
        NonCapturedIndex::Environment env;
        env.cacheDirectory = dir.filePath("cache");
        env.settingsFile = dir.filePath("settings.ini");
        env.phaseA = [c = counters](const MediaItem& item) {
            ++c->phaseA;
            const bool shot = QFileInfo(item.url).fileName().startsWith("shot");
            return NonCapturedVerdict{shot, shot ? QStringLiteral("A1-filename") : QStringLiteral("A3-camera")};
        };
        env.hasPerson = [this, c = counters](const QString& path) {
            ++c->detections;
            clockMs += detectionMs;
            std::lock_guard lock(c->mutex);
            c->detected.append(QFileInfo(path).fileName());
            c->detectionPolicies.append(::sched_getscheduler(0));
            return path.contains("person");
        };
        env.monotonicMs = [this] { return clockMs.load(); };
        env.readCacheFile = [c = counters](const QString& path) -> std::optional<QByteArray> {
            {
                std::lock_guard lock(c->mutex);
                c->readsOnMainThread += QThread::currentThread() == qApp->thread() ? 1 : 0;
            }
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? std::optional(file.readAll()) : std::nullopt;
        };
        env.writeCacheFile = [c = counters](const QString& path, const QByteArray& data) {
            const auto written = NonCapturedIndex::CacheFile::fromJson(QJsonDocument::fromJson(data).object());
            int answers = 0;
            for (const NonCapturedIndex::Entry& entry : written->entries)
                answers += entry.hasPerson.has_value() ? 1 : 0;
            {
                std::lock_guard lock(c->mutex);
                c->personAnswersAtWrite.append(answers);
                c->writesOnMainThread += QThread::currentThread() == qApp->thread() ? 1 : 0;
            }
            QDir().mkpath(QFileInfo(path).path());
            QSaveFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
        };
        return env;
    }

    std::unique_ptr<NonCapturedIndex> makeIndex(bool confirmed = true)
    {
        auto index = std::make_unique<NonCapturedIndex>(environment());
        index->setHasConfirmedOrganize(confirmed);
        return index;
    }

    QString writeFile(const QString& name, double mtime = 1'700'000'000.0)
    {
        const QString path = dir.filePath("photos/" + name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("pixels");
        file.close();
        setMtime(path, mtime);
        return path;
    }

    static void setMtime(const QString& path, double seconds)
    {
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(std::floor(seconds));
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(std::llround((seconds - std::floor(seconds)) * 1e9));
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }

    static MediaItem photo(const QString& path)
    {
        MediaItem item;
        item.url = path;
        return item;
    }

    MediaItems photos(const QStringList& names)
    {
        MediaItems items;
        for (const QString& name : names)
            items.append(photo(writeFile(name)));
        return items;
    }

    // Runs one ensureClassified to its end.
    static void classify(NonCapturedIndex& index, const QUuid& id, const MediaItems& items)
    {
        QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);
        index.ensureClassified(id, items);
        if (settled.isEmpty()) {
            ASSERT_TRUE(settled.wait(10000));
        }
        index.waitForCacheWrites();
        QCoreApplication::processEvents(); // the writer's cacheSaved
    }

    QTemporaryDir dir;
    std::shared_ptr<Counters> counters = std::make_shared<Counters>();
    std::atomic<qint64> clockMs{0};
    qint64 detectionMs = 0; // how far the fake clock moves per detection
    const QUuid library = QUuid::fromString(QStringLiteral("6F1C1A34-5B9E-4C1B-9D62-0E3A2F5B7C11"));
};

} // namespace

TEST_F(IndexTest, ConfirmationIsStoredAndGatesEverything)
{
    {
        auto index = makeIndex(false);
        QSignalSpy changed(index.get(), &NonCapturedIndex::confirmedChanged);
        // A cache from an earlier launch must not even be loaded before the user agrees.
        QDir().mkpath(dir.filePath("cache"));
        QFile cache(index->cachePath(library));
        ASSERT_TRUE(cache.open(QIODevice::WriteOnly));
        cache.write(R"({"schemaVersion":1,"libraryID":"6F1C1A34-5B9E-4C1B-9D62-0E3A2F5B7C11","entries":{}})");
        cache.close();
        classify(*index, library, photos({"shot1.png"}));
        EXPECT_TRUE(index->flagsByLibrary().isEmpty());
        EXPECT_EQ(counters->phaseA, 0);
        index->setHasConfirmedOrganize(false);
        EXPECT_EQ(changed.count(), 0);
        index->setHasConfirmedOrganize(true);
        EXPECT_EQ(changed.count(), 1);
    }
    EXPECT_TRUE(makeIndex()->hasConfirmedOrganize());
    EXPECT_TRUE(NonCapturedIndex(environment()).hasConfirmedOrganize());
    // The cache file name is the upper-case identifier.
    EXPECT_TRUE(makeIndex()->cachePath(library).endsWith("/cache/6F1C1A34-5B9E-4C1B-9D62-0E3A2F5B7C11.json"));
}

// 20 stale photos, 7 of them flagged: flags fill in every 16 photos, phase B reports after each
// batch of 3, and the run ends at (20, 20).
TEST_F(IndexTest, ProgressSequenceAndFlags)
{
    auto index = makeIndex();
    QStringList names;
    for (int i = 0; i < 20; ++i)
        names.append(i % 3 == 0 ? QStringLiteral("shot%1.png").arg(i) : QStringLiteral("img%1.jpg").arg(i));
    names[3] = "shot3-person.png";
    const MediaItems items = photos(names);

    QList<NonCapturedProgress> progress;
    QList<bool> classifying;
    QObject::connect(index.get(), &NonCapturedIndex::progressChanged, [&](const QUuid& id) {
        progress.append(index->progressByLibrary().value(id));
    });
    QObject::connect(index.get(), &NonCapturedIndex::classifyingChanged, [&](const QUuid& id) {
        classifying.append(index->classifyingLibraryIDs().contains(id));
    });
    classify(*index, library, items);

    const QList<NonCapturedProgress> expected = {{0, 20}, {16, 20}, {20, 20}, {0, 7},
                                                 {3, 7},  {6, 7},   {7, 7},   {20, 20}};
    EXPECT_EQ(progress, expected);
    EXPECT_EQ((QList<bool>{true, false}), classifying);
    EXPECT_EQ(counters->phaseA, 20);
    EXPECT_EQ(counters->detections, 7);

    const auto flags = index->flagsByLibrary().value(library);
    EXPECT_EQ(flags.size(), 20);
    EXPECT_TRUE(index->isNonCaptured(library, items[0].url));
    EXPECT_FALSE(index->isNonCaptured(library, items[1].url));
    EXPECT_FALSE(index->isNonCaptured(library, items[3].url)); // a person keeps it among the photos
    EXPECT_FALSE(index->isNonCaptured(library, "/elsewhere/unknown.png"));

    // The file holds what the flags say, with the person override in its rule.
    QFile file(index->cachePath(library));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto cache = NonCapturedIndex::CacheFile::fromJson(QJsonDocument::fromJson(file.readAll()).object());
    ASSERT_TRUE(cache.has_value());
    EXPECT_EQ(cache->schemaVersion, 1);
    EXPECT_EQ(cache->libraryID, library);
    const auto person = cache->entries.value(items[3].url);
    EXPECT_EQ(person.rule, "B-person-override:A1-filename");
    EXPECT_EQ(person.hasPerson, std::optional<bool>(true));
    EXPECT_EQ(cache->entries.value(items[0].url).hasPerson, std::optional<bool>(false));
    EXPECT_EQ(cache->entries.value(items[1].url).hasPerson, std::nullopt);
    EXPECT_EQ(cache->entries.value(items[1].url).fileSize, 6);
    EXPECT_DOUBLE_EQ(cache->entries.value(items[1].url).mtime, 1'700'000'000.0);
}

// Unchanged files: no phase A, no detection, no write, no progress; a later launch reads the cache.
TEST_F(IndexTest, UnchangedFilesCauseNoWork)
{
    const MediaItems items = photos({"shot1.png", "img2.jpg", "img3.jpg"});
    {
        auto index = makeIndex();
        classify(*index, library, items);
        EXPECT_EQ(counters->phaseA, 3);
        EXPECT_EQ(counters->detections, 1);
    }
    const QDateTime written = QFileInfo(dir.filePath("cache/" + uuidString(library) + ".json")).lastModified();

    auto index = makeIndex();
    QSignalSpy saved(index.get(), &NonCapturedIndex::cacheSaved);
    QSignalSpy progress(index.get(), &NonCapturedIndex::progressChanged);
    QSignalSpy classifying(index.get(), &NonCapturedIndex::classifyingChanged);
    classify(*index, library, items);
    classify(*index, library, items);
    EXPECT_EQ(counters->phaseA, 3);
    EXPECT_EQ(counters->detections, 1);
    EXPECT_EQ(saved.count(), 0);
    EXPECT_EQ(progress.count(), 0);
    EXPECT_EQ(classifying.count(), 0);
    EXPECT_EQ(QFileInfo(index->cachePath(library)).lastModified(), written);
    EXPECT_TRUE(index->isNonCaptured(library, items[0].url));
    // A large library's cache takes long to decode: never on the main thread.
    EXPECT_EQ(counters->readsOnMainThread, 0);
}

TEST_F(IndexTest, FreshnessByModificationTimeAndSize)
{
    struct Row {
        const char* name;
        double shift;
        bool grow;
        bool reclassified;
    };
    const QList<Row> rows = {
        {"0.4 s later", 0.4, false, false},
        {"0.4 s earlier", -0.4, false, false},
        {"0.5 s later", 0.5, false, true},
        {"0.5 s earlier", -0.5, false, true},
        {"same time, new size", 0, true, true},
    };
    for (const Row& row : rows) {
        const double base = 1'700'000'000.25;
        const QString path = writeFile("img.jpg", base);
        QFile::remove(dir.filePath("cache/" + uuidString(library) + ".json"));
        auto index = makeIndex();
        classify(*index, library, {photo(path)});
        const int before = counters->phaseA;
        if (row.grow) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::Append));
            file.write("more");
            file.close();
        }
        setMtime(path, base + row.shift);
        classify(*index, library, {photo(path)});
        EXPECT_EQ(counters->phaseA - before, row.reclassified ? 1 : 0) << row.name;
    }
}

// A flagged photo whose detection never finished goes to detection again, without phase A.
TEST_F(IndexTest, InterruptedDetectionIsResumed)
{
    const MediaItems items = photos({"shot1-person.png", "img2.jpg"});
    NonCapturedIndex::CacheFile cache;
    cache.libraryID = library;
    cache.entries.insert(items[0].url, {6, 1'700'000'000.0, true, "A4-resolution", std::nullopt});
    cache.entries.insert(items[1].url, {6, 1'700'000'000.0, false, "A3-camera", std::nullopt});
    QDir().mkpath(dir.filePath("cache"));
    QFile file(dir.filePath("cache/" + uuidString(library) + ".json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(cache.toJson()).toJson());
    file.close();

    auto index = makeIndex();
    EXPECT_TRUE(index->flagsByLibrary().isEmpty());
    classify(*index, library, items);
    EXPECT_EQ(counters->phaseA, 0);
    EXPECT_EQ(counters->detected, QStringList{"shot1-person.png"});
    EXPECT_FALSE(index->isNonCaptured(library, items[0].url));
}

TEST_F(IndexTest, UnusableCacheFilesAreDiscarded)
{
    const QList<QPair<const char*, QByteArray>> rows = {
        {"corrupt", "{\"schemaVersion\":1,"},
        {"old schema", R"({"schemaVersion":2,"libraryID":"6F1C1A34-5B9E-4C1B-9D62-0E3A2F5B7C11","entries":{}})"},
        {"fractional size",
         R"({"schemaVersion":1,"libraryID":"6F1C1A34-5B9E-4C1B-9D62-0E3A2F5B7C11","entries":{"/a.png":)"
         R"({"fileSize":1.5,"mtime":0,"isNonCaptured":true,"rule":"A1-filename"}}})"},
        {"not an array", "[]"},
    };
    const MediaItems items = photos({"shot1.png"});
    for (const auto& [name, bytes] : rows) {
        QDir().mkpath(dir.filePath("cache"));
        QFile file(dir.filePath("cache/" + uuidString(library) + ".json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        const int before = counters->phaseA;
        auto index = makeIndex();
        classify(*index, library, items);
        EXPECT_EQ(counters->phaseA - before, 1) << name;
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const auto rewritten = NonCapturedIndex::CacheFile::fromJson(QJsonDocument::fromJson(file.readAll()).object());
        file.close();
        ASSERT_TRUE(rewritten.has_value()) << name;
        EXPECT_EQ(rewritten->schemaVersion, 1) << name;
        EXPECT_EQ(rewritten->entries.keys(), QList<QString>{items[0].url}) << name;
    }
    // A missing or null person answer reads as absent; braces around the identifier do not decode.
    const auto decode = [](const char* json) {
        return NonCapturedIndex::CacheFile::fromJson(QJsonDocument::fromJson(json).object());
    };
    const auto withNull = decode(R"({"schemaVersion":1,"libraryID":"6f1c1a34-5b9e-4c1b-9d62-0e3a2f5b7c11",)"
                                 R"("entries":{"/a.png":{"fileSize":3,"mtime":1.5,"isNonCaptured":true,)"
                                 R"("rule":"A1-filename","hasPerson":null}}})");
    ASSERT_TRUE(withNull.has_value());
    EXPECT_EQ(withNull->entries.value("/a.png").hasPerson, std::nullopt);
    EXPECT_FALSE(decode(R"({"schemaVersion":1,"libraryID":"{6f1c1a34-5b9e-4c1b-9d62-0e3a2f5b7c11}","entries":{}})"));
}

// Videos and live photos get no flag and start no run.
TEST_F(IndexTest, LibraryWithoutStillPhotos)
{
    auto index = makeIndex();
    MediaItem video = photo(writeFile("clip.mov"));
    video.kind = MediaKind::video;
    MediaItem live = photo(writeFile("live.heic"));
    live.isLivePhoto = true;
    classify(*index, library, {video, live});
    EXPECT_TRUE(index->flagsByLibrary().contains(library));
    EXPECT_TRUE(index->flagsByLibrary().value(library).isEmpty());
    EXPECT_FALSE(index->progressByLibrary().contains(library));
    EXPECT_EQ(counters->phaseA, 0);
}

// A call while a run is going on is not lost: the run ends, then the latest items are classified.
// Two libraries keep their own progress and flags.
TEST_F(IndexTest, ConcurrentCallsAndLibraries)
{
    auto index = makeIndex();
    const QUuid other = QUuid::createUuid();
    const MediaItems first = photos({"shot1.png", "img2.jpg"});
    MediaItems latest = first;
    latest.append(photo(writeFile("shot3.png")));
    const MediaItems otherItems = photos({"img9.jpg"});

    QSignalSpy settled(index.get(), &NonCapturedIndex::classificationSettled);
    index->ensureClassified(library, first);
    index->ensureClassified(library, first);
    index->ensureClassified(library, latest);
    index->ensureClassified(other, otherItems);
    while (settled.count() < 3)
        ASSERT_TRUE(settled.wait(10000));
    EXPECT_FALSE(settled.wait(100));

    EXPECT_EQ(counters->phaseA, 4);
    EXPECT_TRUE(index->isNonCaptured(library, latest[2].url));
    EXPECT_EQ(index->flagsByLibrary().value(library).size(), 3);
    EXPECT_EQ(index->flagsByLibrary().value(other).size(), 1);
    EXPECT_EQ(index->progressByLibrary().value(library), (NonCapturedProgress{3, 3}));
    EXPECT_EQ(index->progressByLibrary().value(other), (NonCapturedProgress{1, 1}));
    EXPECT_TRUE(index->classifyingLibraryIDs().isEmpty());
}

// The cache is written once phase A is done and at most every 30 s while detection runs, so an
// interrupted run keeps what it found; the writing happens off the main thread, and detection gets
// only idle time.
TEST_F(IndexTest, SavesDuringLongDetection)
{
    auto index = makeIndex();
    QStringList names;
    for (int i = 0; i < 9; ++i)
        names.append(QStringLiteral("shot%1.png").arg(i));
    const MediaItems items = photos(names);

    detectionMs = 7000; // a batch of three takes 21 s
    classify(*index, library, items);

    // After phase A (no answers yet); after the second batch (42 s since); once at the end.
    std::lock_guard lock(counters->mutex);
    EXPECT_EQ(counters->personAnswersAtWrite, (QList<int>{0, 6, 9}));
    EXPECT_EQ(counters->writesOnMainThread, 0);
    EXPECT_EQ(counters->detectionPolicies, QList<int>(9, SCHED_IDLE));
}

// A slot that classifies other libraries while a run reports its progress must not pull the
// run's cache from under it.
TEST_F(IndexTest, ProgressSlotsMayClassifyOtherLibraries)
{
    auto index = makeIndex();
    QStringList names;
    for (int i = 0; i < 20; ++i)
        names.append(QStringLiteral("shot%1.png").arg(i));
    const MediaItems items = photos(names);
    const MediaItems otherItems = photos({"img-other.jpg"});
    int others = 0;
    QObject::connect(index.get(), &NonCapturedIndex::progressChanged, [&](const QUuid& id) {
        if (id != library)
            return;
        for (int i = 0; i < 16; ++i, ++others)
            index->ensureClassified(QUuid::createUuid(), otherItems);
    });
    bool settled = false;
    QObject::connect(index.get(), &NonCapturedIndex::classificationSettled, [&](const QUuid& id) {
        settled = settled || id == library;
    });
    index->ensureClassified(library, items);
    QSignalSpy any(index.get(), &NonCapturedIndex::classificationSettled);
    while (!settled)
        ASSERT_TRUE(any.wait(10000));
    EXPECT_GT(others, 0);
    EXPECT_EQ(index->flagsByLibrary().value(library).size(), 20);
    EXPECT_EQ(index->progressByLibrary().value(library), (NonCapturedProgress{20, 20}));
}

// A cache file that names another library is still used, but saving never writes the other
// library's file.
TEST_F(IndexTest, ForeignLibraryIDInCacheFile)
{
    const QUuid other = QUuid::fromString(QStringLiteral("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"));
    const MediaItems items = photos({"img1.jpg", "shot2.png"});
    NonCapturedIndex::CacheFile cache;
    cache.libraryID = other;
    cache.entries.insert(items[0].url, {6, 1'700'000'000.0, false, "A3-camera", std::nullopt});
    QDir().mkpath(dir.filePath("cache"));
    auto index = makeIndex();
    QFile file(index->cachePath(library));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(cache.toJson()).toJson());
    file.close();

    classify(*index, library, items);
    EXPECT_EQ(counters->phaseA, 1);
    EXPECT_FALSE(QFileInfo::exists(index->cachePath(other)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto saved = NonCapturedIndex::CacheFile::fromJson(QJsonDocument::fromJson(file.readAll()).object());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->libraryID, library);
    EXPECT_EQ(saved->entries.size(), 2);
}

// A classifier or detector that throws must not end the program or leave the run unfinished.
TEST_F(IndexTest, ThrowingClassifierOrDetectorStillEndsTheRun)
{
    NonCapturedIndex::Environment env = environment();
    env.phaseA = [phaseA = env.phaseA](const MediaItem& item) {
        if (item.url.contains("broken"))
            throw std::runtime_error("classifier");
        return phaseA(item);
    };
    env.hasPerson = [](const QString&) -> bool { throw std::runtime_error("detector"); };
    NonCapturedIndex index(env);
    index.setHasConfirmedOrganize(true);
    const MediaItems items = photos({"shot1.png", "broken.png", "img3.jpg"});
    classify(index, library, items);
    EXPECT_TRUE(index.classifyingLibraryIDs().isEmpty());
    EXPECT_EQ(index.progressByLibrary().value(library), (NonCapturedProgress{3, 3}));
    EXPECT_TRUE(index.isNonCaptured(library, items[0].url));
    EXPECT_FALSE(index.flagsByLibrary().value(library).contains(items[1].url));
}

// A large library's verdicts reach the main thread in slices: what waits in its event loop runs
// between them instead of after the whole library.
TEST_F(IndexTest, VerdictsAreMergedInSlicesThatLetOtherEventsRun)
{
    NonCapturedIndex::Environment env = environment();
    // Every look at the clock finds a millisecond gone.
    env.monotonicMs = [ticks = std::make_shared<std::atomic<qint64>>(0)] { return (*ticks)++; };
    NonCapturedIndex index(env);
    index.setHasConfirmedOrganize(true);
    MediaItems items;
    for (int i = 0; i < 400; ++i)
        items.append(photo(QStringLiteral("/absent/img%1.jpg").arg(i)));

    int doneWhenServed = -1;
    QObject::connect(&index, &NonCapturedIndex::progressChanged, [&](const QUuid& id) {
        if (doneWhenServed != -1 || index.progressByLibrary().value(id).done == 0)
            return;
        doneWhenServed = 0;
        QMetaObject::invokeMethod(
            &index, [&] { doneWhenServed = index.progressByLibrary().value(library).done; }, Qt::QueuedConnection);
    });
    classify(index, library, items);
    EXPECT_GT(doneWhenServed, 0);
    EXPECT_LT(doneWhenServed, 100);
    EXPECT_EQ(index.flagsByLibrary().value(library).size(), 400);
    EXPECT_EQ(index.progressByLibrary().value(library), (NonCapturedProgress{400, 400}));
}
