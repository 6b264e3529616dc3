#include "p2p/transport/UsbmuxClient.h"
#include "support/NamespaceSandbox.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

using namespace p2p;
using namespace p2p::testing;
using namespace tess::testing;

namespace {

// Waits until the daemon made its socket world-writable, which it does once it listens.
bool waitForSocket(int inotify)
{
    char buffer[4096];
    for (;;) {
        pollfd entry {inotify, POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1)
            return false;
        const ssize_t length = read(inotify, buffer, sizeof buffer);
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask & IN_ATTRIB) && event->len && std::strcmp(event->name, "usbmuxd") == 0)
                return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

} // namespace

// The real daemon in a /run of its own (its socket path cannot be changed).
TESS_CHILD_BODY(realUsbmuxd)
{
    if (std::string error = prepareSandbox({}); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const int inotify = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(inotify, "/run", IN_ATTRIB);
    std::string daemon = arguments.at(0);
    char foreground[] = "-f";
    char user[] = "-U";
    char root[] = "root";
    char* argv[] = {daemon.data(), foreground, user, root, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, daemon.c_str(), nullptr, nullptr, argv, environ) != 0 || !waitForSocket(inotify)) {
        std::fprintf(stderr, "usbmuxd did not start\n");
        return 3;
    }
    asio::io_context io;
    UsbmuxClient client(io.get_executor());
    std::vector<UsbmuxDevice> devices = runUntilDone(io, client.listDevices());
    const std::string connect = runUntilDone(io, failureOf(client.connect(1, 47077)));
    std::fprintf(stderr, "devices: %zu, connect: %s\n", devices.size(), connect.c_str());
    return devices.empty() && connect == "USB 连接失败：找不到设备，请检查 USB 线并信任此电脑（错误码 2）" ? 0 : 1;
}

TEST(UsbmuxdConformance, RealDaemonListsNoDeviceAndAnswersConnectWithTwo)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    const char* daemon = "/usr/sbin/usbmuxd";
    if (access(daemon, X_OK) != 0)
        GTEST_SKIP() << "usbmuxd is not installed (scripts/setup installs it)";
    ChildProcess child("realUsbmuxd", {.mountNamespace = true, .pidNamespace = true, .arguments = {daemon}});
    EXPECT_EQ(child.wait(), (ExitStatus {true, 0, 0}));
}
