#pragma once
// A SQLite VFS over the default one that counts syncs and can refuse writes or the shared memory of
// a write-ahead log (as FAT, exFAT and network volumes do), to watch what the backup index asks of
// the disk and to make it fail on demand.

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace p2p::testing {

struct IndexFaults {
    std::atomic<bool> refuseWrites {false}; // xWrite and xSync answer SQLITE_IOERR
    std::atomic<bool> refuseSharedMemory {false};
    std::atomic<int> syncCount {0};
    std::function<void()> onWrite; // told of every write, refused or not; set and cleared by one test
};

inline IndexFaults& indexFaults()
{
    static IndexFaults faults;
    return faults;
}

namespace detail {

inline std::map<const sqlite3_io_methods*, const sqlite3_io_methods*>& originalMethods()
{
    static std::map<const sqlite3_io_methods*, const sqlite3_io_methods*> originals;
    return originals;
}

inline std::mutex& methodsMutex()
{
    static std::mutex mutex;
    return mutex;
}

inline const sqlite3_io_methods* originalOf(sqlite3_file* file)
{
    const std::lock_guard lock(methodsMutex());
    return originalMethods().at(file->pMethods);
}

inline int faultyWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset)
{
    if (indexFaults().onWrite)
        indexFaults().onWrite();
    if (indexFaults().refuseWrites)
        return SQLITE_IOERR_WRITE;
    return originalOf(file)->xWrite(file, data, amount, offset);
}

inline int countedSync(sqlite3_file* file, int flags)
{
    if (indexFaults().refuseWrites)
        return SQLITE_IOERR_FSYNC;
    ++indexFaults().syncCount;
    return originalOf(file)->xSync(file, flags);
}

inline int faultyShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory)
{
    if (indexFaults().refuseSharedMemory)
        return SQLITE_IOERR_SHMMAP;
    return originalOf(file)->xShmMap(file, region, size, extend, memory);
}

inline int faultyOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    static std::map<const sqlite3_io_methods*, std::unique_ptr<sqlite3_io_methods>> replacements;
    auto* real = static_cast<sqlite3_vfs*>(vfs->pAppData);
    const int result = real->xOpen(real, name, file, flags, outFlags);
    if (result == SQLITE_OK && file->pMethods) {
        const std::lock_guard lock(methodsMutex());
        std::unique_ptr<sqlite3_io_methods>& replacement = replacements[file->pMethods];
        if (!replacement) {
            replacement = std::make_unique<sqlite3_io_methods>(*file->pMethods);
            replacement->xWrite = faultyWrite;
            replacement->xSync = countedSync;
            if (replacement->iVersion >= 2)
                replacement->xShmMap = faultyShmMap;
            originalMethods()[replacement.get()] = file->pMethods;
        }
        file->pMethods = replacement.get();
    }
    return result;
}

} // namespace detail

// The VFS's name, registered on first use.
inline const char* faultyIndexVfs()
{
    static sqlite3_vfs vfs = [] {
        sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
        sqlite3_vfs copy = *real;
        copy.zName = "tess-index-faults";
        copy.pAppData = real;
        copy.xOpen = detail::faultyOpen;
        return copy;
    }();
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_vfs_register(&vfs, 0); });
    return vfs.zName;
}

} // namespace p2p::testing
