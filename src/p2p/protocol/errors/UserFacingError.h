#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// One short Chinese sentence for any error met during a backup, and the look-up of user texts.
namespace p2p::UserFacingError {

enum class Kind { diskFull, permissionDenied, notFound, writeFailed };

// Localized text for a key, or none. The app installs its translator here; a hook that gives the
// key back (untranslated) counts as none.
using LookupHook = std::function<std::optional<std::string>(std::string_view key)>;
void setLookupHook(LookupHook hook);

// The translation of `key`, else `fallback`.
std::string localized(std::string_view key, std::string_view fallback);

// The class's text ("电脑空间不足", …).
std::string message(Kind kind);
// A SessionError's user text; else the text of the storage class found along the nested chain
// (std::throw_with_nested); else "出现问题，请重试".
std::string message(const std::exception& error);
std::string message(const std::exception_ptr& error);

// Walks the nested chain; the outermost error that has a class wins.
std::optional<Kind> classify(const std::exception& error);
std::optional<Kind> classify(const std::error_code& code);

bool isOutOfSpace(const std::exception& error);
bool isOutOfSpace(const std::exception_ptr& error);

// Free space for unprivileged users (statvfs f_bavail * f_frsize) on the volume of `path`:
// false when it cannot be read; true when it is 0; else true when needed >= 1 and more than free.
bool isVolumeOutOfSpace(const std::filesystem::path& path, std::int64_t neededByteCount);
// The decision alone, given the free byte count (tests).
bool isOutOfSpace(std::optional<std::int64_t> availableByteCount, std::int64_t neededByteCount);

} // namespace p2p::UserFacingError
