#pragma once

#include "app/platform/FolderChooser.h"

namespace app {

// Qt's own directory dialog: the native one ignores the read-only option and would offer "New Folder".
class DialogFolderChooser final : public FolderChooser {
public:
    std::optional<QString> chooseFolder() override;
};

} // namespace app
