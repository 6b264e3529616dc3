#include "app/services/PhotoOrientationRotator.h"
#include "app/services/RotationQueue.h"
#include "app/services/RotationWriter.h"

#include "support/app/Eventually.h"
#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QSemaphore>

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
        {"paging drops turns not yet written",
         {{Step::show, "a.jpg"}, {Step::turn}, {Step::turn}, {Step::show, "b.jpg"}, {Step::succeed, "a.jpg"}},
         {{"a.jpg", 1}}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<QString, int>> writes;
        RotationQueue queue([&](const RotationQueue::Write& w) { writes.emplace_back(w.path, w.turns); });
        RotationQueue::Outcome last;
        int turnsOfShown = 0;
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case Step::show:
                queue.setCurrentPath(step.path);
                turnsOfShown = 0;
                break;
            case Step::turn:
                // The preview before each turn: red, then green, blue, …
                queue.turnRequested(filled(Qt::GlobalColor(Qt::red + turnsOfShown)), filled(Qt::darkRed));
                ++turnsOfShown;
                break;
            case Step::succeed:
            case Step::fail:
                last = queue.writeFinished(step.path, step.kind == Step::fail ? std::optional<QString>("坏了")
                                                                              : std::nullopt);
                break;
            }
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(queue.pendingTurns(), c.pending);
        EXPECT_EQ(queue.hasBaseline(), c.baseline);
        EXPECT_EQ(last.refreshMetadata, c.refreshMetadata);
        EXPECT_EQ(last.reloadImage, c.reloadImage);
        EXPECT_EQ(last.restoredImage.has_value(), c.restored);
        if (c.restored) {
            // The picture as it was before the first unwritten turn.
            EXPECT_EQ(*last.restoredImage, filled(Qt::red));
            EXPECT_EQ(*last.restoredPlaceholder, filled(Qt::darkRed));
        }
        EXPECT_EQ(last.errorMessage.has_value(), !last.succeeded);
    }
}

TEST(RotationQueue, RefusesLivePhotosAndFormatsWithoutOrientation)
{
    MediaItem live{.url = "/p/IMG_1.HEIC", .isLivePhoto = true};
    EXPECT_EQ(RotationQueue::refusal(live), QStringLiteral("实况照片暂不支持旋转。"));
    EXPECT_EQ(RotationQueue::refusal(MediaItem{.url = "/p/a.png"}), QStringLiteral("这种格式不支持只改方向元数据。"));
    EXPECT_EQ(RotationQueue::refusal(MediaItem{.url = "/p/a.JPG"}), std::nullopt);
}

// The queue on the real writer: the second and third turn wait for the first write and go together.
TEST(RotationQueue, WriterRunsOneWriteAtATimeOffTheMainThread)
{
    QSemaphore firstMayEnd;
    std::vector<std::pair<QString, int>> written;
    RotationWriter writer(nullptr, [&](const QString& path, int turns) {
        if (written.empty())
            firstMayEnd.acquire();
        written.emplace_back(path, turns);
        if (path.endsWith("locked.jpg"))
            throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
    });
    RotationQueue queue([&](const RotationQueue::Write& w) { writer.write(w); });
    std::vector<RotationQueue::Outcome> outcomes;
    QObject::connect(&writer, &RotationWriter::finished, &writer,
                     [&](const QString& path, const std::optional<QString>& error) {
                         outcomes.push_back(queue.writeFinished(path, error));
                     });
    queue.setCurrentPath("/p/a.jpg");
    for (int i = 0; i < 3; ++i)
        queue.turnRequested(filled(Qt::red), {});
    EXPECT_EQ(queue.pendingTurns(), 2);
    firstMayEnd.release();
    ASSERT_EVENTUALLY(outcomes.size() == 2);
    const std::vector<std::pair<QString, int>> expected{{"/p/a.jpg", 1}, {"/p/a.jpg", 2}};
    EXPECT_EQ(written, expected);

    queue.setCurrentPath("/p/locked.jpg");
    queue.turnRequested(filled(Qt::red), {});
    ASSERT_EVENTUALLY(outcomes.size() == 3);
    EXPECT_EQ(outcomes.back().errorMessage, QStringLiteral("没有写入权限。请检查该文件夹的写入权限。"));
    EXPECT_TRUE(outcomes.back().restoredImage.has_value());
}

} // namespace
