#include "p2p/backup/FolderHandleVfs.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace p2p {

namespace {

sqlite3_vfs* baseOf(sqlite3_vfs* vfs)
{
    return static_cast<sqlite3_vfs*>(vfs->pAppData);
}

int nameAsGiven(sqlite3_vfs* vfs, const char* name, int size, char* out)
{
    if (name[0] != '/')
        return baseOf(vfs)->xFullPathname(baseOf(vfs), name, size, out);
    const std::size_t length = std::strlen(name);
    if (length >= static_cast<std::size_t>(size))
        return SQLITE_CANTOPEN;
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

// The base's own methods may look at their VFS's app data (the default one's xOpen does).
int openInBase(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    return baseOf(vfs)->xOpen(baseOf(vfs), name, file, flags, outFlags);
}

int deleteInBase(sqlite3_vfs* vfs, const char* name, int syncFolder)
{
    return baseOf(vfs)->xDelete(baseOf(vfs), name, syncFolder);
}

int accessInBase(sqlite3_vfs* vfs, const char* name, int flags, int* result)
{
    return baseOf(vfs)->xAccess(baseOf(vfs), name, flags, result);
}

struct Wrapper {
    std::string name;
    sqlite3_vfs vfs {};
};

} // namespace

const char* folderHandleVfs(const char* baseName)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Wrapper>> wrappers; // registered for good
    const std::lock_guard lock(mutex);
    const std::string key = baseName ? baseName : "";
    std::unique_ptr<Wrapper>& wrapper = wrappers[key];
    if (!wrapper) {
        sqlite3_vfs* base = sqlite3_vfs_find(baseName);
        if (!base)
            return baseName; // sqlite3_open_v2 says it is unknown
        wrapper = std::make_unique<Wrapper>();
        wrapper->name = "tess-folder-handle/" + key;
        wrapper->vfs = *base;
        wrapper->vfs.pNext = nullptr;
        wrapper->vfs.zName = wrapper->name.c_str();
        wrapper->vfs.pAppData = base;
        wrapper->vfs.xOpen = openInBase;
        wrapper->vfs.xDelete = deleteInBase;
        wrapper->vfs.xAccess = accessInBase;
        wrapper->vfs.xFullPathname = nameAsGiven;
        sqlite3_vfs_register(&wrapper->vfs, 0);
    }
    return wrapper->vfs.zName;
}

} // namespace p2p
