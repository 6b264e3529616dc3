#pragma once

namespace p2p {

// A SQLite VFS over `baseName` (the default VFS when null) that takes an absolute database name as
// it is given. A name through /proc/self/fd/<folder>/ then stays in the folder that descriptor
// holds; the default VFS resolves that link to the folder's path, which by the time of the next
// journal or log file may lead to another drive mounted at the same place. Registered on first use.
const char* folderHandleVfs(const char* baseName);

} // namespace p2p
