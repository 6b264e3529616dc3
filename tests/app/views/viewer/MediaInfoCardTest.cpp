#include "app/views/viewer/MediaInfoCard.h"

#include <gtest/gtest.h>

using namespace app;

TEST(MediaInfoCard, rowsOrTheReadingTextAndNeverWiderThan420)
{
    MediaMetadata withRows;
    withRows.fileName = "IMG_0001.HEIC";
    withRows.kindLabel = "照片";
    withRows.cameraModel = QString(300, QChar(u'很')) + " long model";
    MediaMetadata noRows;

    struct Row {
        const char* name;
        std::optional<MediaMetadata> metadata;
        QString status;
        qsizetype rows;
    };
    const QList<Row> rows = {
        {"not read yet", std::nullopt, "正在读取信息…", 0},
        {"read, without rows", noRows, "正在读取信息…", 0},
        {"rows", withRows, QString(), withRows.rows().size()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MediaInfoCard card;
        card.setMetadata(row.metadata);
        EXPECT_EQ(card.statusText(), row.status);
        ASSERT_EQ(card.shownRows().size(), row.rows);
        for (qsizetype i = 0; i < row.rows; ++i) {
            EXPECT_EQ(card.shownRows()[i].first, withRows.rows()[i].label);
            EXPECT_EQ(card.shownRows()[i].second, withRows.rows()[i].value);
        }
        card.show();
        EXPECT_LE(card.width(), MediaInfoCard::maximumCardWidth);
        EXPECT_TRUE(card.testAttribute(Qt::WA_TransparentForMouseEvents));
    }
}
