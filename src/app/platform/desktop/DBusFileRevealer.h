#pragma once

#include "app/platform/desktop/FileRevealer.h"

namespace app {

// Asks the file manager over D-Bus to show the item selected; opens its parent folder otherwise.
class DBusFileRevealer final : public FileRevealer {
public:
    void reveal(const QString& path) override;
};

} // namespace app
