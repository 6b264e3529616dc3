#include "p2p/protocol/errors/UserFacingError.h"

#include "p2p/protocol/errors/SessionError.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <limits>
#include <mutex>

namespace p2p::UserFacingError {

namespace {

std::mutex hookMutex;

LookupHook& hookStorage()
{
    static LookupHook hook;
    return hook;
}

std::string genericMessage()
{
    return localized("error.generic", "出现问题，请重试");
}

std::string sessionMessage(const SessionError& error)
{
    switch (error.kind()) {
    case SessionError::Kind::unexpectedMessage:
        return localized("error.transfer_interrupted", "传输异常，请重试");
    case SessionError::Kind::versionRejected:
        return localized("error.protocol_incompatible", "协议版本不兼容，请更新 Tessivarnholm 或 Brevanholt");
    case SessionError::Kind::remoteEnded:
        return localized("error.remote_ended", "对方已结束传输");
    case SessionError::Kind::providerFailed:
        return localized("error.read_failed", "读取照片失败，请重试");
    case SessionError::Kind::sinkFailed:
        return error.text();
    case SessionError::Kind::connectionClosed:
        return localized("error.connection_closed", "连接已断开");
    case SessionError::Kind::pairingAbandoned:
        return localized("error.pairing_abandoned", "已取消配对");
    case SessionError::Kind::pairingFailed:
        return localized("error.pairing_failed", "配对码校验未通过");
    case SessionError::Kind::cancelled:
        return localized("error.cancelled", "已取消");
    }
    return genericMessage();
}

std::optional<Kind> classifyOne(const std::exception& error)
{
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return classify(system->code());
    }
    return std::nullopt;
}

// Longest nested chain we follow; chains built with throw_with_nested are short and acyclic.
constexpr int maximumChainLength = 64;

std::optional<Kind> classifyChain(const std::exception& error, int depth)
{
    if (const auto kind = classifyOne(error)) {
        return kind;
    }
    const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
    if (nested == nullptr || nested->nested_ptr() == nullptr || depth >= maximumChainLength) {
        return std::nullopt;
    }
    try {
        std::rethrow_exception(nested->nested_ptr());
    } catch (const std::exception& inner) {
        return classifyChain(inner, depth + 1);
    } catch (...) {
    }
    return std::nullopt;
}

} // namespace

void setLookupHook(LookupHook hook)
{
    const std::lock_guard lock(hookMutex);
    hookStorage() = std::move(hook);
}

std::string localized(std::string_view key, std::string_view fallback)
{
    LookupHook hook;
    {
        const std::lock_guard lock(hookMutex);
        hook = hookStorage();
    }
    if (hook) {
        // A translator hands the key back when it has nothing: that is "no translation".
        const auto text = hook(key);
        if (text && !text->empty() && *text != key) {
            return *text;
        }
    }
    return std::string(fallback);
}

std::string message(Kind kind)
{
    switch (kind) {
    case Kind::diskFull:
        return localized("error.disk_full", "电脑空间不足");
    case Kind::permissionDenied:
        return localized("error.permission_denied", "没有写入权限");
    case Kind::notFound:
        return localized("error.not_found", "找不到要写入的位置");
    case Kind::writeFailed:
        return localized("error.write_failed", "写入失败，请重试");
    }
    return genericMessage();
}

std::string message(const std::exception& error)
{
    if (const auto* session = dynamic_cast<const SessionError*>(&error)) {
        return sessionMessage(*session);
    }
    if (const auto kind = classify(error)) {
        return message(*kind);
    }
    return genericMessage();
}

std::string message(const std::exception_ptr& error)
{
    if (!error) {
        return genericMessage();
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return message(e);
    } catch (...) {
    }
    return genericMessage();
}

std::optional<Kind> classify(const std::exception& error)
{
    return classifyChain(error, 0);
}

std::optional<Kind> classify(const std::error_code& code)
{
    // errno values, compared by name: EDQUOT differs between systems.
    if (code.category() != std::generic_category() && code.category() != std::system_category()) {
        return std::nullopt;
    }
    if (code == std::errc::no_space_on_device || code.value() == EDQUOT) {
        return Kind::diskFull;
    }
    if (code == std::errc::operation_not_permitted || code == std::errc::permission_denied
        || code == std::errc::read_only_file_system) {
        return Kind::permissionDenied;
    }
    if (code == std::errc::no_such_file_or_directory) {
        return Kind::notFound;
    }
    if (code == std::errc::io_error) {
        return Kind::writeFailed;
    }
    return std::nullopt;
}

bool isOutOfSpace(const std::exception& error)
{
    return classify(error) == Kind::diskFull;
}

bool isOutOfSpace(const std::exception_ptr& error)
{
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return isOutOfSpace(e);
    } catch (...) {
    }
    return false;
}

bool isOutOfSpace(std::optional<std::int64_t> availableByteCount, std::int64_t neededByteCount)
{
    if (!availableByteCount) {
        return false;
    }
    if (*availableByteCount <= 0) {
        return true;
    }
    if (neededByteCount < 1) {
        return false;
    }
    return *availableByteCount < neededByteCount;
}

bool isVolumeOutOfSpace(const std::filesystem::path& path, std::int64_t neededByteCount)
{
    // A destination that does not exist yet lives on the volume of its nearest existing parent.
    std::filesystem::path probe = path;
    std::error_code ignored;
    while (!probe.empty() && !std::filesystem::exists(probe, ignored) && probe.has_parent_path()
        && probe.parent_path() != probe) {
        probe = probe.parent_path();
    }
    struct statvfs info {};
    if (probe.empty() || ::statvfs(probe.c_str(), &info) != 0) {
        return isOutOfSpace(std::nullopt, neededByteCount);
    }
    const unsigned __int128 bytes = static_cast<unsigned __int128>(info.f_bavail) * info.f_frsize;
    const auto available = bytes > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max())
        ? std::numeric_limits<std::int64_t>::max()
        : static_cast<std::int64_t>(bytes);
    return isOutOfSpace(available, neededByteCount);
}

} // namespace p2p::UserFacingError
