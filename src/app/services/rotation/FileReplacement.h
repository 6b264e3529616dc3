#pragma once

#include "app/services/rotation/PhotoOrientationRotator.h"

#include <string>
#include <sys/stat.h>

namespace app::FileReplacement {

// An open file descriptor, closed when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release();

private:
    int fd_;
};

// The user may change the file: the system grants writing, and the file is not marked read-only
// (no write bit at all), which the system ignores for root.
bool mayWrite(const std::string& path, const struct stat& st);

// Writes `bytes` to a new file beside `target`, carries over everything the old file had besides
// its content (owner, group, mode, extended attributes with ACLs, times) and renames it over
// `target`. An owner or attribute that cannot be carried fails the write rather than being
// dropped. `source` is the open old file. The temporary file is gone afterwards whatever happens.
// Throws PhotoOrientationRotator::RotateError.
void replace(const std::string& target, int source, const struct stat& st, const std::string& bytes,
             const PhotoOrientationRotator::FaultInjector& faults);

// Overwrites, in the file itself, the bytes where `patched` differs from `original` (same size),
// keeping its times: for a file with several hard links, which a replacement would split.
void patchInPlace(const std::string& target, const struct stat& st, const std::string& original,
                  const std::string& patched, const PhotoOrientationRotator::FaultInjector& faults);

// The error for a failed system call.
PhotoOrientationRotator::RotateError errorFor(int error);

} // namespace app::FileReplacement
