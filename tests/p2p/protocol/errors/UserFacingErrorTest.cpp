#include "p2p/protocol/ProtocolError.h"
#include "p2p/protocol/messages/ProtocolVersion.h"
#include "p2p/protocol/errors/SessionError.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <system_error>

using namespace p2p;
namespace UFE = p2p::UserFacingError;

namespace {

struct HookGuard {
    ~HookGuard() { UFE::setLookupHook({}); }
};

std::system_error systemError(std::errc code)
{
    return std::system_error(std::make_error_code(code), "write");
}

template <typename Outer, typename Inner>
std::exception_ptr nestedError(Outer outer, Inner inner)
{
    try {
        try {
            throw inner;
        } catch (...) {
            std::throw_with_nested(outer);
        }
    } catch (...) {
        return std::current_exception();
    }
}

} // namespace

TEST(ErrorTexts, DescriptionsAreExact)
{
    struct Case {
        std::string actual;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {ProtocolError::frameTooLarge(8388609, 8388608).description(), "帧长度 8388609 字节超过上限 8388608 字节"},
        {ProtocolError::unknownMessageType(17).description(), "无法识别的消息类型 17"},
        {ProtocolError::malformedPayload(1, "缺少键 \"device\"").description(), "消息类型 1 的负载解析失败：缺少键 \"device\""},
        {ProtocolError::incompatibleVersion(2, 1, 1).description(), "对端协议版本 2 不兼容（本机支持 1…1）"},
        {ProtocolError::emptyFrame().description(), "收到空帧（缺少消息类型字节）"},
        {SessionError::unexpectedMessage("hello", MessageType::fileChunk).description(), "期望 hello，实际收到 fileChunk"},
        {SessionError::versionRejected(2).description(), "对端协议版本 2 不受支持"},
        {SessionError::remoteEnded(SessionEnd::Reason::error, std::nullopt).description(), "对端结束会话（error）"},
        {SessionError::remoteEnded(SessionEnd::Reason::cancelledByUser, "用户取消").description(),
            "对端结束会话（cancelledByUser）：用户取消"},
        {SessionError::providerFailed("相册不可读").description(), "读取资产失败：相册不可读"},
        {SessionError::sinkFailed("电脑空间不足").description(), "电脑空间不足"},
        {SessionError::connectionClosed().description(), "连接已断开"},
        {SessionError::pairingAbandoned().description(), "用户放弃配对"},
        {SessionError::pairingFailed().description(), "配对码校验未通过"},
        {SessionError::cancelled().description(), "已取消"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual, c.expected);
    }
    EXPECT_STREQ(ProtocolError::emptyFrame().what(), "收到空帧（缺少消息类型字节）");
    EXPECT_EQ(SessionError::remoteEnded(SessionEnd::Reason::error, "a"), SessionError::remoteEnded(SessionEnd::Reason::error, "a"));
    EXPECT_FALSE(SessionError::remoteEnded(SessionEnd::Reason::error, "a") == SessionError::remoteEnded(SessionEnd::Reason::error, std::nullopt));

    EXPECT_NO_THROW(ProtocolVersion::check(1));
    for (std::uint16_t version : {std::uint16_t{0}, std::uint16_t{2}}) {
        EXPECT_FALSE(ProtocolVersion::isCompatible(version));
        try {
            ProtocolVersion::check(version);
            ADD_FAILURE();
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error, ProtocolError::incompatibleVersion(version, 1, 1));
        }
    }
}

TEST(ErrorTexts, UserMessages)
{
    struct Case {
        std::exception_ptr error;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(SessionError::connectionClosed()), "连接已断开"},
        {std::make_exception_ptr(SessionError::sinkFailed("磁盘已拔出")), "磁盘已拔出"},
        {std::make_exception_ptr(SessionError::remoteEnded(SessionEnd::Reason::error, "x")), "对方已结束传输"},
        {std::make_exception_ptr(SessionError::unexpectedMessage("hello", MessageType::pong)), "传输异常，请重试"},
        {std::make_exception_ptr(SessionError::versionRejected(9)), "协议版本不兼容，请更新 Tessivarnholm 或 Brevanholt"},
        {std::make_exception_ptr(SessionError::providerFailed("x")), "读取照片失败，请重试"},
        {std::make_exception_ptr(SessionError::pairingAbandoned()), "已取消配对"},
        {std::make_exception_ptr(SessionError::pairingFailed()), "配对码校验未通过"},
        {std::make_exception_ptr(SessionError::cancelled()), "已取消"},
        {std::make_exception_ptr(systemError(std::errc::no_space_on_device)), "电脑空间不足"},
        {std::make_exception_ptr(std::system_error(EDQUOT, std::generic_category())), "电脑空间不足"},
        {std::make_exception_ptr(systemError(std::errc::permission_denied)), "没有写入权限"},
        {std::make_exception_ptr(std::system_error(EPERM, std::system_category())), "没有写入权限"},
        {std::make_exception_ptr(systemError(std::errc::read_only_file_system)), "没有写入权限"},
        {std::make_exception_ptr(systemError(std::errc::no_such_file_or_directory)), "找不到要写入的位置"},
        {std::make_exception_ptr(systemError(std::errc::io_error)), "写入失败，请重试"},
        {std::make_exception_ptr(std::filesystem::filesystem_error("rename", std::make_error_code(std::errc::no_space_on_device))),
            "电脑空间不足"},
        {std::make_exception_ptr(systemError(std::errc::invalid_argument)), "出现问题，请重试"},
        {std::make_exception_ptr(std::system_error(std::make_error_code(std::io_errc::stream))), "出现问题，请重试"},
        {std::make_exception_ptr(ProtocolError::emptyFrame()), "出现问题，请重试"},
        {std::make_exception_ptr(42), "出现问题，请重试"},
        {nullptr, "出现问题，请重试"},
        // The outer error is classified first; an unclassified outer one lets the inner decide.
        {nestedError(systemError(std::errc::no_such_file_or_directory), systemError(std::errc::no_space_on_device)),
            "找不到要写入的位置"},
        {nestedError(std::runtime_error("write"), systemError(std::errc::no_space_on_device)), "电脑空间不足"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(UFE::message(cases[i].error), cases[i].expected) << "case " << i;
    }
    EXPECT_TRUE(UFE::isOutOfSpace(cases[9].error));
    EXPECT_FALSE(UFE::isOutOfSpace(cases[12].error));
}

TEST(ErrorTexts, LookupHook)
{
    HookGuard guard;
    UFE::setLookupHook([](std::string_view key) -> std::optional<std::string> {
        if (key == "error.cancelled") {
            return std::string("Cancelled");
        }
        if (key == "error.generic") {
            return std::string(); // an empty translation is no translation
        }
        return std::string(key); // what an untranslated look-up gives back
    });
    EXPECT_EQ(UFE::message(SessionError::cancelled()), "Cancelled");
    EXPECT_EQ(SessionError::cancelled().description(), "已取消");
    EXPECT_EQ(UFE::message(SessionError::connectionClosed()), "连接已断开");
    EXPECT_EQ(UFE::localized("error.generic", "出现问题，请重试"), "出现问题，请重试");
    EXPECT_EQ(UFE::message(UFE::Kind::diskFull), "电脑空间不足");
}

TEST(ErrorTexts, VolumeSpace)
{
    struct Case {
        std::optional<std::int64_t> available;
        std::int64_t needed;
        bool full;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 100, false}, {0, 0, true}, {0, 5, true}, {-1, 0, true},
        {100, 0, false}, {100, -3, false}, {100, 100, false}, {100, 101, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UFE::isOutOfSpace(c.available, c.needed), c.full);
    }
    const auto temp = std::filesystem::temp_directory_path();
    EXPECT_FALSE(UFE::isVolumeOutOfSpace(temp, 1));
    EXPECT_TRUE(UFE::isVolumeOutOfSpace(temp, std::numeric_limits<std::int64_t>::max()));
    // A folder still to be created is judged by its volume.
    EXPECT_TRUE(UFE::isVolumeOutOfSpace(temp / "not-yet" / "deeper", std::numeric_limits<std::int64_t>::max()));
}
