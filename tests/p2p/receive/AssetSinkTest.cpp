#include "p2p/protocol/errors/UserFacingError.h"
#include "p2p/receive/AssetSink.h"
#include "p2p/receive/ReceiveEvent.h"

#include <gtest/gtest.h>

using namespace p2p;

TEST(AssetSinkErrorTest, TextsAndEquality)
{
    struct Case {
        AssetSinkError error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {AssetSinkError::destinationUnavailable("目标文件夹不存在"), "目标文件夹不存在"},
        {AssetSinkError::writeFailed("IMG_0001.HEIC", "写入失败"), "写入失败"}, // the file name is not part of it
        {AssetSinkError::insufficientSpace(0), "电脑空间不足"},
        {AssetSinkError::insufficientSpace(1'000'000'000), "电脑空间不足"},
        {AssetSinkError::sessionNotPrepared(), "还没准备好接收"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.description(), c.text);
        EXPECT_EQ(c.error.userMessage(), c.text);
        EXPECT_STREQ(c.error.what(), c.text.c_str());
    }
    EXPECT_NE(AssetSinkError::writeFailed("A.JPG", "写入失败"), AssetSinkError::writeFailed("B.JPG", "写入失败"));
    EXPECT_NE(AssetSinkError::insufficientSpace(1), AssetSinkError::insufficientSpace(2));
    EXPECT_EQ(AssetSinkError::sessionNotPrepared(), AssetSinkError::sessionNotPrepared());

    // A translation replaces the fallback.
    UserFacingError::setLookupHook([](std::string_view key) -> std::optional<std::string> {
        if (key == "error.disk_full")
            return std::string("Disk full");
        return std::nullopt;
    });
    EXPECT_EQ(AssetSinkError::insufficientSpace(0).userMessage(), "Disk full");
    UserFacingError::setLookupHook({});
}

TEST(ReceiveEventTest, NamesInTheLog)
{
    EXPECT_EQ(ReceiveEvent{ReceiveEvent::Progress{}}.name(), "progress");
    EXPECT_EQ(ReceiveEvent{ReceiveEvent::PairingAccepted{}}.name(), "pairingAccepted");
}
