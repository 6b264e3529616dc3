#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/services/rotation/RotationPreview.h"
#include "app/services/rotation/RotationQueue.h"
#include "app/services/rotation/RotationWriter.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include "app/platform/desktop/QuitOnSignals.h"

#include "p2p/protocol/P2PLog.h"
#include "support/NamespaceSandbox.h"
#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/MapTestSupport.h"
#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QSemaphore>
#include <QSessionManager>
#include <QTimer>

#include <memory>
#include <unistd.h>
#include <tuple>

#include <vector>

using namespace app;

namespace {

QImage filled(Qt::GlobalColor colour)
{
    QImage image(4, 2, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// One step of the viewer: show a photo, turn it, or let the running write end.
struct Step {
    enum Kind { show, turn, succeed, fail } kind;
    const char* path = "";
};

TEST(RotationQueue, WritesTurnsOneWriteAtATimeAndRestoresOnlyItsOwnPhoto)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::pair<QString, int>> writes;
        int pending;
        bool baseline;
        // The last write's end.
        bool refreshMetadata = false;
        bool reloadImage = false;
        bool restored = false;
    };
    const Case cases[] = {
        {"three quick presses: a write of one turn, then one of two",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::turn}, {Step::turn}, {Step::succeed, "a.jpg"}},
         {{"a.jpg", 1}, {"a.jpg", 2}}, 0, true, true, false},
        {"writes caught up: baselines dropped, image reloaded",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::succeed, "a.jpg"}}, {{"a.jpg", 1}}, 0, false, true, true},
        {"failure restores the preview and drops the turns asked for meanwhile",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::turn}, {Step::fail, "a.jpg"}}, {{"a.jpg", 1}}, 0, false, false,
         false, true},
        {"paged away during a write: the old photo is written, the new one's turns wait for it",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::show, "b.jpg"}, {Step::turn}, {Step::turn},
          {Step::succeed, "a.jpg"}},
         {{"a.jpg", 1}, {"b.jpg", 2}}, 0, true},
        {"another photo's failure keeps this photo's turns and preview, and writes them",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::show, "b.jpg"}, {Step::turn}, {Step::fail, "a.jpg"}},
         {{"a.jpg", 1}, {"b.jpg", 1}}, 0, true},
        {"paging keeps the turns not yet written: they follow the running write",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::turn}, {Step::show, "b.jpg"}, {Step::succeed, "a.jpg"}},
         {{"a.jpg", 1}, {"a.jpg", 1}}, 0, false},
        {"turns of a photo paged back to join its queued write",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::show, "b.jpg"}, {Step::turn}, {Step::show, "a.jpg"},
          {Step::turn}, {Step::turn}, {Step::succeed, "a.jpg"}, {Step::succeed, "b.jpg"}},
         {{"a.jpg", 1}, {"b.jpg", 1}, {"a.jpg", 2}}, 0, true},
        {"a failure of the photo paged back to reloads it from the file",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::show, "b.jpg"}, {Step::show, "a.jpg"}, {Step::fail, "a.jpg"}},
         {{"a.jpg", 1}}, 0, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<QString, int>> writes;
        RotationQueue queue([&](const RotationQueue::Write& w) { writes.emplace_back(w.path, w.turns); });
        RotationPreview preview;
        RotationPreview::Outcome last;
        QString shown;
        int turnsOfShown = 0;
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case Step::show:
                shown = step.path;
                preview.setCurrentPath(shown);
                turnsOfShown = 0;
                break;
            case Step::turn:
                // The preview before each turn: red, then green, blue, …
                preview.turnRequested(filled(Qt::GlobalColor(Qt::red + turnsOfShown)), filled(Qt::darkRed));
                queue.turnRequested(shown);
                ++turnsOfShown;
                break;
            case Step::succeed:
            case Step::fail: {
                const bool failed = step.kind == Step::fail;
                const bool settled = queue.writeFinished(step.path, failed);
                last = preview.writeFinished(step.path, failed ? std::optional<QString>("坏了") : std::nullopt, settled);
                break;
            }
            }
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(queue.pendingTurns(shown), c.pending);
        EXPECT_EQ(preview.hasBaseline(), c.baseline);
        EXPECT_EQ(last.refreshMetadata, c.refreshMetadata);
        EXPECT_EQ(last.reloadImage, c.reloadImage);
        EXPECT_EQ(last.restoredImage.has_value(), c.restored);
        if (last.restoredImage) {
            // The picture as it was before the first unwritten turn.
            EXPECT_EQ(*last.restoredImage, filled(Qt::red));
            EXPECT_EQ(*last.restoredPlaceholder, filled(Qt::darkRed));
        }
        EXPECT_EQ(last.errorMessage.has_value(), c.steps.back().kind == Step::fail);
    }
}

TEST(RotationQueue, RefusesLivePhotosAndFormatsWithoutOrientation)
{
    MediaItem live{.url = "/p/IMG_1.HEIC", .isLivePhoto = true};
    EXPECT_EQ(RotationQueue::refusal(live), QStringLiteral("实况照片暂不支持旋转。"));
    EXPECT_EQ(RotationQueue::refusal(MediaItem{.url = "/p/a.png"}), QStringLiteral("这种格式不支持只改方向元数据。"));
    EXPECT_EQ(RotationQueue::refusal(MediaItem{.url = "/p/a.JPG"}), std::nullopt);
}

// The program's writer: the second and third turn wait for the first write and go together; what
// is still queued when the writer goes (the program ends) is written before it is gone.
TEST(RotationQueue, WriterRunsOneWriteAtATimeOffTheMainThread)
{
    QSemaphore firstMayEnd;
    QMutex mutex;
    std::vector<std::pair<QString, int>> written;
    const auto rotate = [&](const QString& path, int turns) {
        bool first = false;
        {
            QMutexLocker lock(&mutex);
            first = written.empty();
            written.emplace_back(path, turns);
        }
        if (first)
            firstMayEnd.acquire();
        if (path.endsWith("locked.jpg"))
            throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
    };
    auto writer = std::make_unique<RotationWriter>(nullptr, rotate);
    std::vector<std::tuple<QString, std::optional<QString>, bool>> ends;
    QObject::connect(writer.get(), &RotationWriter::finished, writer.get(),
                     [&](const QString& path, const std::optional<QString>& error, bool settled) {
                         ends.emplace_back(path, error, settled);
                     });
    for (int i = 0; i < 3; ++i)
        writer->turn("/p/a.jpg");
    EXPECT_EQ(writer->queue().pendingTurns("/p/a.jpg"), 2);
    firstMayEnd.release();
    ASSERT_EVENTUALLY(ends.size() == 2);
    EXPECT_FALSE(std::get<2>(ends[0]));
    EXPECT_TRUE(std::get<2>(ends[1]));

    writer->turn("/p/locked.jpg");
    ASSERT_EVENTUALLY(ends.size() == 3);
    EXPECT_EQ(std::get<1>(ends.back()), QStringLiteral("没有写入权限。请检查该照片及其文件夹的写入权限。"));

    writer->turn("/p/b.jpg");
    writer->turn("/p/c.jpg");
    writer.reset();
    const std::vector<std::pair<QString, int>> expected{
        {"/p/a.jpg", 1}, {"/p/a.jpg", 2}, {"/p/locked.jpg", 1}, {"/p/b.jpg", 1}, {"/p/c.jpg", 1}};
    EXPECT_EQ(written, expected);
}

// A session's save that comes before a failed write's end reached the loop: the turns of that photo
// queued behind it are dropped, as the loop would drop them; other photos' turns are written.
TEST(RotationQueue, ASaveDropsTheTurnsQueuedBehindAFailedWrite)
{
    QSemaphore runningMayEnd;
    QMutex mutex;
    std::vector<std::pair<QString, int>> written;
    RotationWriter writer(nullptr, [&](const QString& path, int turns) {
        bool first = false;
        {
            QMutexLocker lock(&mutex);
            first = written.empty();
            written.emplace_back(path, turns);
        }
        if (first)
            runningMayEnd.acquire();
        if (path.endsWith("locked.jpg"))
            throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
    });
    for (const char* path : {"/p/locked.jpg", "/p/locked.jpg", "/p/locked.jpg", "/p/b.jpg"})
        writer.turn(path);
    runningMayEnd.release();
    writer.finishAll();
    const std::vector<std::pair<QString, int>> expected{{"/p/locked.jpg", 1}, {"/p/b.jpg", 1}};
    EXPECT_EQ(written, expected);
}

// The program's quit path, in a child so that SIGTERM ends only it: a write runs, a turn of its
// photo and one of a locked photo wait, and a window would refuse a close (a sheet mid-task). 0 when
// the program ended, every turn was written once the quit began (before the windows go) and the
// failed one was logged.
TESS_CHILD_BODY(turnsPendingAtSigterm)
{
    int argc = 1;
    char name[] = "turns";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    struct Refusing : QWidget {
        void closeEvent(QCloseEvent* event) override { event->ignore(); }
    } window;
    window.show();
    app::quitOnSignals();
    QSemaphore runningMayEnd;
    // Connected before the writer's own: the running write ends only once the quit has begun.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { runningMayEnd.release(); });
    QMutex mutex;
    std::vector<std::pair<QString, int>> written, writtenAtQuit;
    RotationWriter writer(nullptr, [&](const QString& path, int turns) {
        QMutexLocker lock(&mutex);
        written.emplace_back(path, turns);
        if (written.size() == 1)
            runningMayEnd.acquire();
        if (path.endsWith("locked.jpg"))
            throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
    });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { writtenAtQuit = written; });
    bool failureLogged = false;
    p2p::setLogSink([&](p2p::LogLevel, std::string_view, std::string_view, std::string_view line) {
        failureLogged = failureLogged || line.find("/p/locked.jpg") != std::string_view::npos;
    });
    for (const char* path : {"/p/a.jpg", "/p/a.jpg", "/p/locked.jpg"})
        writer.turn(path);
    tess::testing::notifyParent();
    application.exec();
    tess::testing::notifyParent();
    p2p::setLogSink({});
    const std::vector<std::pair<QString, int>> expected{{"/p/a.jpg", 1}, {"/p/a.jpg", 1}, {"/p/locked.jpg", 1}};
    return writtenAtQuit != expected ? 2 : failureLogged ? 0 : 3;
}

// SIGTERM, as a logout sends it, ends the program through its normal quit: the turns pending then
// are written first, and the one that fails is logged.
TEST(RotationQueue, TurnsPendingAtSigtermAreWritten)
{
    tess::testing::ChildProcess child("turnsPendingAtSigterm");
    ASSERT_TRUE(child.waitForNotice(std::chrono::seconds(30)));
    child.kill(SIGTERM);
    ASSERT_TRUE(child.waitForNotice(std::chrono::seconds(30))) << "SIGTERM did not end the program";
    EXPECT_EQ(child.wait(), (tess::testing::ExitStatus{true, 0, 0}));
}

// The session manager's save, in a child so that its exit ends only it: a write runs and turns
// wait, and the save comes while the program's event loop runs, as a session manager's does. 0 when
// every turn was written by the time the save returned, the loop ran on and heard of every write's
// end.
TESS_CHILD_BODY(turnsPendingAtCheckpoint)
{
    int argc = 1;
    char name[] = "turns";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    app::quitOnSignals();
    QMutex mutex;
    std::vector<std::pair<QString, int>> written;
    RotationWriter writer(nullptr, [&](const QString& path, int turns) {
        QMutexLocker lock(&mutex);
        written.emplace_back(path, turns);
    });
    app::saveOnSessionRequest(&writer, [&writer] { writer.finishAll(); });
    int ends = 0;
    QObject::connect(&writer, &RotationWriter::finished, [&ends] { ++ends; });
    for (const char* path : {"/p/a.jpg", "/p/a.jpg", "/p/b.jpg"})
        writer.turn(path);
    auto* session = application.findChild<QSessionManager*>();
    if (!session)
        return 4;
    int result = 3; // the loop ended before the checks after the save ran
    QTimer::singleShot(0, &application, [&] {
        Q_EMIT application.commitDataRequest(*session);
        {
            QMutexLocker lock(&mutex);
            const std::vector<std::pair<QString, int>> expected{{"/p/a.jpg", 1}, {"/p/a.jpg", 1}, {"/p/b.jpg", 1}};
            if (written != expected) {
                QCoreApplication::exit(2);
                return;
            }
        }
        // Later than any quit or close asked for on the way, which would end the loop first.
        QTimer::singleShot(100, &application, [&] {
            // The program runs on: the grid and the viewer follow every write.
            result = ends == 3 ? 0 : 5;
            QCoreApplication::exit(result);
        });
    });
    const int code = application.exec();
    return code == 2 ? 2 : result;
}

// A checkpoint, or a logout another program cancels, saves the pending turns and ends nothing.
TEST(RotationQueue, ACheckpointWritesPendingTurnsAndTheProgramRunsOn)
{
    tess::testing::ChildProcess child("turnsPendingAtCheckpoint");
    EXPECT_EQ(child.wait(), (tess::testing::ExitStatus{true, 0, 0}));
}

// A photo with two names is turned in place: what is cached under either name is made again, so
// the grid and the viewer show the turned picture under both.
TEST(RotationQueue, WriterRefreshesEveryNameOfAFileWithSeveralLinks)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.jpg"), other = dir.filePath("b.jpg"), unrelated = dir.filePath("c.jpg");
    for (const QString& p : {path, unrelated}) {
        ASSERT_TRUE(QFile::copy(test::fixturePath("rotation/orientation-6.jpg"), p));
        QFile::setPermissions(p, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()), 0);
    ThumbnailProvider thumbnails(std::make_unique<app::testing::SolidThumbnailDecoder>());
    for (const QString& p : {path, other, unrelated}) {
        bool done = false;
        thumbnails.thumbnail(MediaItem{.url = p}, 64, 1, &thumbnails, [&](const QImage&) { done = true; });
        ASSERT_EVENTUALLY(done);
    }
    RotationWriter writer(&thumbnails);
    writer.turn(path);
    ASSERT_EVENTUALLY(writer.queue().isSettled(path) && thumbnails.generation(path) > 0);
    EXPECT_GT(thumbnails.generation(other), 0u);
    EXPECT_EQ(thumbnails.generation(unrelated), 0u);
}

} // namespace
