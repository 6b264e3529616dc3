#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace p2p {

// A file or folder descriptor, closed when it goes.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    ~OwnedFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Handed over to whatever closes it now.
    int release() { return std::exchange(fd_, -1); }
    // 0, or the error close() reported (a network volume may report a failed write only here).
    int close()
    {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

} // namespace p2p
