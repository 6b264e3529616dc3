#pragma once

#include <QString>

#include <optional>

namespace app {

// Lets the user pick one existing folder; nothing when cancelled.
class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    virtual std::optional<QString> chooseFolder() = 0;
};

} // namespace app
