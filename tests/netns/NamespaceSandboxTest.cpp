#include "support/NamespaceSandbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/magic.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace tess::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t vethPort = 47999;

std::string networkNamespace()
{
    struct stat info {};
    stat("/proc/self/ns/net", &info);
    return std::to_string(info.st_ino);
}

// Holds the socket for the lifetime of a test body.
struct Fd {
    int fd;
    ~Fd() { close(fd); }
};

} // namespace

TESS_CHILD_BODY(exitWith)
{
    return std::atoi(arguments.at(0).c_str());
}

TESS_CHILD_BODY(notifyThenSleep)
{
    notifyParent();
    pause();
    return 0;
}

TESS_CHILD_BODY(inOtherNetwork)
{
    return networkNamespace() == arguments.at(0) ? 1 : 0;
}

// Listens on the veth address, then returns the first byte a peer sends.
TESS_CHILD_BODY(vethPeer)
{
    if (std::string error = prepareSandbox({}); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 100;
    }
    Fd listener {socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(vethPort);
    if (bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener.fd, 1) != 0)
        return 101;
    notifyParent();
    Fd peer {accept(listener.fd, nullptr, nullptr)};
    unsigned char byte = 0;
    return read(peer.fd, &byte, 1) == 1 ? byte : 102;
}

TEST(NamespaceSandbox, ProgramRunsAloneWithItsOwnRunAndDaemons)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    EXPECT_EQ(getpid(), 1);
    struct statfs run {};
    ASSERT_EQ(statfs("/run", &run), 0);
    EXPECT_EQ(run.f_type, TMPFS_MAGIC);
    struct if_nameindex* links = if_nameindex();
    ASSERT_NE(links, nullptr);
    EXPECT_STREQ(links[0].if_name, "lo");
    EXPECT_EQ(links[1].if_name, nullptr);
    if_freenameindex(links);
    EXPECT_EQ(access("/run/dbus/system_bus_socket", F_OK), 0);
    pid_t avahi = 0;
    std::ifstream("/run/avahi-daemon/pid") >> avahi;
    EXPECT_GT(avahi, 1);
    EXPECT_EQ(kill(avahi, 0), 0);
}

TEST(NamespaceSandbox, ChildProcessesExitNotifyAndDie)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    struct Case {
        const char* body;
        ChildOptions options;
        bool killAfterNotice;
        ExitStatus expected;
    };
    const Case cases[] = {
        {"exitWith", {.arguments = {"7"}}, false, {true, 7, 0}},
        {"exitWith", {.mountNamespace = true, .arguments = {"9"}}, false, {true, 9, 0}},
        {"notifyThenSleep", {}, true, {false, 0, SIGKILL}},
        {"notifyThenSleep", {.pidNamespace = true}, true, {false, 0, SIGKILL}},
        {"inOtherNetwork", {.netNamespace = true, .arguments = {networkNamespace()}}, false, {true, 0, 0}},
        {"inOtherNetwork", {.arguments = {networkNamespace()}}, false, {true, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        ChildProcess child(c.body, c.options);
        if (c.killAfterNotice) {
            ASSERT_TRUE(child.waitForNotice(10s));
            child.kill();
        }
        EXPECT_EQ(child.wait(), c.expected);
    }
}

TEST(NamespaceSandbox, VethPairJoinsTheSandboxToAChild)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    ChildProcess child("vethPeer", {.netNamespace = true, .pidNamespace = true});
    ASSERT_TRUE(child.waitForNotice(10s));
    ASSERT_EQ(linkVethPair(child.pid(), "10.77.0.1/24", "10.77.0.2/24"), "");
    Fd peer {socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(vethPort);
    inet_pton(AF_INET, "10.77.0.2", &address.sin_addr);
    ASSERT_EQ(connect(peer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    const unsigned char byte = 42;
    ASSERT_EQ(write(peer.fd, &byte, 1), 1);
    EXPECT_EQ(child.wait(), (ExitStatus {true, 42, 0}));
}

// Run whole, the program still gives every test a /run (and so daemons) of its own: each instance
// leaves a mark that the other must not find.
class NamespacePerTest : public ::testing::TestWithParam<int> { };

TEST_P(NamespacePerTest, FindsNoMarkOfAnotherTest)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    EXPECT_NE(access("/run/tess-test-was-here", F_OK), 0);
    std::ofstream("/run/tess-test-was-here") << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Twice, NamespacePerTest, ::testing::Values(1, 2));
