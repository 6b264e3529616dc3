#pragma once

#include <optional>
#include <string>

namespace p2p {

// Who a device is; exchanged in the greeting and its answer.
struct DeviceInfo {
    std::string name;
    std::optional<std::string> model;
    std::optional<std::string> systemVersion;
    std::string identifier; // stable across sessions

    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

} // namespace p2p
