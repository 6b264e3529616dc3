// The page's state and toolbar count from what the scan, the filter and the sorting report.
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/views/library/LibraryContentModel.h"

#include <gtest/gtest.h>

using namespace app;
using LibraryPageRules::ContentState;

TEST(LibraryPageRules, statesAndTexts)
{
    using Filter = LibraryMediaFilter;
    struct Row {
        const char* name;
        LibraryPageRules::Inputs in;
        ContentState state;
        QString count;
    };
    const auto in = [](Filter f, bool error, bool scanning, int scanned, int total, int items, int shown,
                       bool confirmed = false, bool classifying = false,
                       std::optional<NonCapturedProgress> progress = std::nullopt) {
        LibraryPageRules::Inputs i;
        i.filter = f;
        i.hasError = error;
        i.isScanning = scanning;
        i.scanned = scanned;
        i.total = total;
        i.itemCount = items;
        i.displayedCount = shown;
        i.hasConfirmedOrganize = confirmed;
        i.isClassifying = classifying;
        i.progress = progress;
        return i;
    };
    const Row rows[] = {
        {"unreachable", in(Filter::all, true, false, 0, 0, 0, 0), ContentState::unavailable, ""},
        {"first moments", in(Filter::all, false, true, 0, 0, 0, 0), ContentState::scanning, "正在扫描…"},
        {"total known", in(Filter::all, false, true, 3, 500, 0, 0), ContentState::scanning, "正在读取 3/500"},
        {"rescan keeps the grid", in(Filter::all, false, true, 3, 500, 40, 40), ContentState::grid,
         "正在读取 3/500"},
        {"empty folder", in(Filter::all, false, false, 0, 0, 0, 0), ContentState::emptyFolder, ""},
        {"not confirmed", in(Filter::nonCaptured, false, false, 0, 0, 9, 0), ContentState::needsConfirmation,
         "0 个非拍摄"},
        {"organizing, nothing flagged", in(Filter::nonCaptured, false, false, 0, 0, 9, 0, true, true, {{8, 120}}),
         ContentState::organizing, "正在整理非拍摄 8/120"},
        {"organizing, progress unknown", in(Filter::nonCaptured, false, false, 0, 0, 9, 0, true, true),
         ContentState::organizing, "正在整理非拍摄…"},
        {"organizing with earlier flags", in(Filter::nonCaptured, false, false, 0, 0, 9, 2, true, true, {{0, 5}}),
         ContentState::grid, "正在整理非拍摄 0/5"},
        {"empty filter", in(Filter::livePhotos, false, false, 0, 0, 9, 0), ContentState::emptyFilter, "0 个实况照片"},
        {"videos", in(Filter::videos, false, false, 0, 0, 30, 12), ContentState::grid, "12 个视频"},
        {"all", in(Filter::all, false, false, 0, 0, 30, 30), ContentState::grid, "30 个项目"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LibraryPageRules::contentState(row.in), row.state) << row.name;
        EXPECT_EQ(LibraryPageRules::itemCountLabel(row.in), row.count) << row.name;
    }
    EXPECT_EQ(LibraryPageRules::navigationTitle("旅行", Filter::all), "旅行");
    EXPECT_EQ(LibraryPageRules::navigationTitle("旅行", Filter::videos), "旅行 · 视频");
    EXPECT_EQ(LibraryPageRules::unavailableMessage("备份盘"), "找不到「备份盘」的文件夹，移动硬盘可能没有连接。");
}
