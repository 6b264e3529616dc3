#pragma once

#include <QString>

namespace app {

// Shows a file or folder selected in the desktop's file manager.
class FileRevealer {
public:
    virtual ~FileRevealer() = default;
    virtual void reveal(const QString& path) = 0;
};

} // namespace app
