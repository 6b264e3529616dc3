#pragma once
// Namespaces for tests that must not touch the host: its network, its /run, its daemons.
//
// Network sandbox: a test program's main() calls enterNetworkSandbox() before any thread exists.
// The program starts itself again for each selected test under `unshare --net --mount --pid --fork
// --mount-proc --propagation private` and, inside, brings loopback up, mounts a tmpfs on /run and
// starts the daemons asked for. It is PID 1 there, so every daemon ends with its test. When that is impossible (not
// root, unshare refused, a daemon missing) the tests run outside and TESS_SKIP_WITHOUT_SANDBOX()
// skips each of them with sandboxSkipReason().
//
// Child processes: TESS_CHILD_BODY(name) { ...; return exitCode; } registers a body (it sees
// `arguments`); ChildProcess starts this same program again running that body, optionally in new
// mount, network and PID namespaces. The parent waits for its exit, for its notices
// (notifyParent() in the child) or kills it by pid. Every test main calls
// runChildBodyIfRequested() first. A child in new namespaces calls prepareSandbox() to get its own
// loopback, /run and daemons; linkVethPair() then joins its network to the parent's sandbox.

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <ostream>
#include <functional>
#include <string>
#include <vector>

namespace tess::testing {

struct SandboxOptions {
    bool systemBus = false; // dbus-daemon --system
    bool avahi = false; // avahi-daemon (starts the system bus as well)
    std::string hostName = "tess-sandbox"; // avahi's host name; two daemons that meet need two names
};

// Never returns in the outer program when the sandbox can be made; returns inside it, or outside
// with the skip reason set.
void enterNetworkSandbox(int argc, char** argv, const SandboxOptions& options);
// Empty inside a working network sandbox; otherwise why network tests skip.
const std::string& sandboxSkipReason();
// Why children cannot get namespaces of their own (not root, unshare refused); empty when they can.
const std::string& unshareSkipReason();

#define TESS_SKIP_WITHOUT_SANDBOX()                                                                \
    if (!::tess::testing::sandboxSkipReason().empty())                                             \
    GTEST_SKIP() << "no network namespace: " << ::tess::testing::sandboxSkipReason()
#define TESS_SKIP_WITHOUT_UNSHARE()                                                                \
    if (!::tess::testing::unshareSkipReason().empty())                                             \
    GTEST_SKIP() << "no namespaces: " << ::tess::testing::unshareSkipReason()

// Inside a fresh mount (+net) namespace only: loopback up, tmpfs on /run, daemons. Returns the
// error text, empty on success.
std::string prepareSandbox(const SandboxOptions& options);

using ChildBody = std::function<int(const std::vector<std::string>& arguments)>;
bool registerChildBody(const char* name, ChildBody body);
// Runs the body named on the command line, then exits with its result; returns otherwise.
void runChildBodyIfRequested(int argc, char** argv);
// In a child: tells the parent one step is reached (see ChildProcess::waitForNotice).
void notifyParent();

#define TESS_CHILD_BODY(name)                                                                      \
    static int tessChildBody_##name(const std::vector<std::string>& arguments);                    \
    [[maybe_unused]] static const bool tessChildBodyRegistered_##name                              \
        = ::tess::testing::registerChildBody(#name, tessChildBody_##name);                         \
    static int tessChildBody_##name([[maybe_unused]] const std::vector<std::string>& arguments)

struct ChildOptions {
    bool mountNamespace = false; // private mount namespace
    bool netNamespace = false; // own network namespace (with its own mount namespace)
    bool pidNamespace = false; // daemons it starts end with it (with its own mount namespace)
    std::vector<std::string> arguments;
};

struct ExitStatus {
    bool exited = false; // exited normally with `code`; otherwise ended by `signal`
    int code = 0;
    int signal = 0;
    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};
void PrintTo(const ExitStatus& status, std::ostream* out);

class ChildProcess {
public:
    // Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::string& body, ChildOptions options = {});
    ~ChildProcess(); // kills and reaps a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True once the child called notifyParent(); false when it ended or the time ran out.
    bool waitForNotice(std::chrono::milliseconds timeout);
    void kill(int signal = SIGKILL);
    ExitStatus wait();

private:
    pid_t pid_ = -1;
    int noticeFd_ = -1;
    bool reaped_ = false;
    ExitStatus status_;
};

// A veth pair between this sandbox (localAddress, e.g. "10.77.0.1/24") and the network namespace
// of `peer` (peerAddress), both up. Returns the error text, empty on success.
std::string linkVethPair(pid_t peer, const std::string& localAddress, const std::string& peerAddress);

} // namespace tess::testing
