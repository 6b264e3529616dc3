#include "app/models/Chunked.h"

#include <gtest/gtest.h>

TEST(Chunked, RunsOfSize)
{
    struct Row {
        int count;
        qsizetype size;
        QList<qsizetype> runSizes;
    };
    const Row rows[] = {
        {0, 32, {}},
        {70, 32, {32, 32, 6}},
        {64, 32, {32, 32}},
        {7, 3, {3, 3, 1}},
        {2, 0, {1, 1}}, // a zero size must not loop for ever
    };
    for (const auto& row : rows) {
        QList<int> items;
        for (int i = 0; i < row.count; ++i)
            items.append(i);
        const auto runs = app::chunked(items, row.size);
        QList<qsizetype> sizes;
        QList<int> flat;
        for (const auto& run : runs) {
            sizes.append(run.size());
            flat.append(run);
        }
        EXPECT_EQ(sizes, row.runSizes) << row.count << "/" << row.size;
        EXPECT_EQ(flat, items);
    }
}
