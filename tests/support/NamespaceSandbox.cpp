#include "support/NamespaceSandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

extern char** environ;

namespace tess::testing {

namespace {

constexpr const char* insideVariable = "TESS_NETNS_SANDBOX";
constexpr const char* mountNamespaceVariable = "TESS_SANDBOX_MOUNT_NS";
constexpr const char* noticeFdVariable = "TESS_CHILD_NOTICE_FD";
constexpr const char* childFlag = "--tess-child=";
constexpr int childNoticeFd = 200;

std::string& skipReason()
{
    static std::string reason = "the test program's main() does not enter the network sandbox";
    return reason;
}

std::map<std::string, ChildBody>& childBodies()
{
    static std::map<std::string, ChildBody> bodies;
    return bodies;
}

std::string findProgram(const std::string& name)
{
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string ownExecutable()
{
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

ExitStatus statusOf(int raw)
{
    if (WIFEXITED(raw))
        return {true, WEXITSTATUS(raw), 0};
    return {false, 0, WIFSIGNALED(raw) ? WTERMSIG(raw) : 0};
}

ExitStatus reap(pid_t pid)
{
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR)
            return {false, 0, 0};
    }
    return statusOf(raw);
}

// Runs a program to its end; its output goes to the test's output.
ExitStatus run(std::vector<std::string> arguments)
{
    std::vector<char*> argv = pointers(arguments);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {true, 127, 0};
    return reap(pid);
}

std::string describe(const std::vector<std::string>& arguments, const ExitStatus& status)
{
    std::string text;
    for (const std::string& a : arguments)
        text += (text.empty() ? "" : " ") + a;
    if (status.exited)
        return text + " exited with " + std::to_string(status.code);
    return text + " ended by signal " + std::to_string(status.signal);
}

// Empty when the command succeeded, else what went wrong.
std::string runChecked(const std::vector<std::string>& arguments)
{
    ExitStatus status = run(arguments);
    return status == ExitStatus{true, 0, 0} ? std::string() : describe(arguments, status);
}

const std::vector<std::string> sandboxUnshare = {
    "--net", "--mount", "--pid", "--fork", "--mount-proc", "--propagation", "private", "--kill-child"};

std::string bringLoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("socket: ") + strerror(errno);
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string error;
    if (ioctl(fd, SIOCGIFFLAGS, &request) < 0)
        error = std::string("SIOCGIFFLAGS lo: ") + strerror(errno);
    else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) < 0)
            error = std::string("SIOCSIFFLAGS lo: ") + strerror(errno);
    }
    close(fd);
    return error;
}

std::string startDaemons(const SandboxOptions& options)
{
    if (!options.systemBus && !options.avahi)
        return {};
    std::string dbus = findProgram("dbus-daemon");
    if (dbus.empty())
        return "dbus-daemon is not installed";
    mkdir("/run/dbus", 0755);
    // --fork returns once the bus socket listens.
    if (std::string error = runChecked({dbus, "--system", "--fork"}); !error.empty())
        return error;
    if (!options.avahi)
        return {};
    std::string avahi = findProgram("avahi-daemon");
    if (avahi.empty())
        return "avahi-daemon is not installed";
    const std::string config = "/run/tess-avahi-daemon.conf";
    std::ofstream(config) << "[server]\nhost-name=" << options.hostName
                          << "\nuse-ipv4=yes\nuse-ipv6=yes\n[publish]\npublish-hinfo=no\npublish-workstation=no\n";
    // -D returns once the daemon is on the bus.
    return runChecked({avahi, "--no-chroot", "--no-drop-root", "--no-rlimits", "-f", config, "-D"});
}

// Runs a program to its end and returns what it printed on standard output.
std::string captureOutput(std::vector<std::string> arguments)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv = pointers(arguments);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    ssize_t count = 0;
    while (error == 0 && ((count = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))) {
        if (count > 0)
            output.append(buffer, static_cast<std::size_t>(count));
    }
    close(pipeFds[0]);
    if (error == 0)
        reap(pid);
    return output;
}

// "Suite.Name" of every test that `arguments` (this program's own) select, from GoogleTest's list.
std::vector<std::string> selectedTests(const std::string& self, const std::vector<std::string>& arguments)
{
    std::vector<std::string> listing {self, "--gtest_list_tests"};
    listing.insert(listing.end(), arguments.begin(), arguments.end());
    const std::string output = captureOutput(listing);
    std::vector<std::string> tests;
    std::string suite;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find("  #")); // parameter notes
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (line.size() > 2 && line.rfind("  ", 0) == 0)
            tests.push_back(suite + line.substr(2));
        else if (!line.empty() && line.back() == '.' && line.front() != ' ')
            suite = line;
    }
    return tests;
}

} // namespace

void PrintTo(const ExitStatus& status, std::ostream* out)
{
    if (status.exited)
        *out << "exit " << status.code;
    else
        *out << "signal " << status.signal;
}

const std::string& sandboxSkipReason()
{
    return skipReason();
}

const std::string& unshareSkipReason()
{
    static const std::string reason = [] {
        if (geteuid() != 0)
            return std::string("not root");
        std::string unshare = findProgram("unshare");
        if (unshare.empty())
            return std::string("unshare is not installed");
        std::vector<std::string> probe {unshare};
        probe.insert(probe.end(), sandboxUnshare.begin(), sandboxUnshare.end());
        probe.push_back("true");
        return runChecked(probe);
    }();
    return reason;
}

std::string prepareSandbox(const SandboxOptions& options)
{
    // Never mount over the host's /run.
    if (!getenv(mountNamespaceVariable))
        return "not in a mount namespace of our own";
    if (std::string error = bringLoopbackUp(); !error.empty())
        return error;
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return std::string("mount tmpfs on /run: ") + strerror(errno);
    return startDaemons(options);
}

void enterNetworkSandbox(int argc, char** argv, const SandboxOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) {
            skipReason() = "only listing the tests";
            return;
        }
    }
    if (getenv(insideVariable)) {
        skipReason() = prepareSandbox(options);
        return;
    }
    if (!unshareSkipReason().empty()) {
        skipReason() = unshareSkipReason();
        return;
    }
    // Every test in namespaces and daemons of its own: an announcement, a daemon's cache or a port
    // of one test never reaches the next, whether ctest runs one test or the program runs them all.
    const std::string self = ownExecutable();
    std::vector<std::string> passed;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_filter=", 15) != 0)
            passed.push_back(argv[i]);
    }
    std::vector<std::string> selection = passed;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_filter=", 15) == 0)
            selection.push_back(argv[i]);
    }
    const std::vector<std::string> tests = selectedTests(self, selection);
    setenv(insideVariable, "1", 1);
    setenv(mountNamespaceVariable, "1", 1);
    std::vector<std::string> failed;
    for (const std::string& test : tests) {
        std::vector<std::string> arguments {findProgram("unshare")};
        arguments.insert(arguments.end(), sandboxUnshare.begin(), sandboxUnshare.end());
        arguments.insert(arguments.end(), {"--", self, "--gtest_filter=" + test});
        arguments.insert(arguments.end(), passed.begin(), passed.end());
        std::fflush(nullptr);
        if (run(arguments) != ExitStatus {true, 0, 0})
            failed.push_back(test);
    }
    std::printf("\n%zu tests, each in namespaces of its own; %zu failed\n", tests.size(), failed.size());
    for (const std::string& test : failed)
        std::printf("  failed: %s\n", test.c_str());
    std::fflush(nullptr);
    std::exit(failed.empty() && !tests.empty() ? 0 : 1);
}

bool registerChildBody(const char* name, ChildBody body)
{
    return childBodies().emplace(name, std::move(body)).second;
}

void runChildBodyIfRequested(int argc, char** argv)
{
    if (argc < 2 || std::strncmp(argv[1], childFlag, std::strlen(childFlag)) != 0)
        return;
    std::string name = argv[1] + std::strlen(childFlag);
    auto body = childBodies().find(name);
    if (body == childBodies().end()) {
        std::fprintf(stderr, "no child body named %s\n", name.c_str());
        std::exit(127);
    }
    std::exit(body->second(std::vector<std::string>(argv + 2, argv + argc)));
}

void notifyParent()
{
    const char* fd = getenv(noticeFdVariable);
    if (!fd)
        return;
    const char byte = 1;
    while (write(std::atoi(fd), &byte, 1) < 0 && errno == EINTR) {
    }
}

ChildProcess::ChildProcess(const std::string& body, ChildOptions options)
{
    std::vector<std::string> arguments;
    const bool newMount = options.mountNamespace || options.netNamespace || options.pidNamespace;
    if (newMount) {
        arguments = {findProgram("unshare"), "--mount", "--propagation", "private"};
        if (options.netNamespace)
            arguments.push_back("--net");
        if (options.pidNamespace)
            arguments.insert(arguments.end(), {"--pid", "--fork", "--mount-proc", "--kill-child"});
        arguments.push_back("--");
    }
    arguments.push_back(ownExecutable());
    arguments.push_back(childFlag + body);
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string variable = *entry;
        if (variable.rfind(noticeFdVariable + std::string("="), 0) != 0)
            environment.push_back(variable);
    }
    environment.push_back(noticeFdVariable + std::string("=") + std::to_string(childNoticeFd));
    if (newMount)
        environment.push_back(mountNamespaceVariable + std::string("=1"));

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], childNoticeFd);
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    noticeFd_ = pipeFds[0];
    if (error != 0) {
        close(noticeFd_);
        throw std::runtime_error("cannot start " + arguments.front() + ": " + strerror(error));
    }
}

ChildProcess::~ChildProcess()
{
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    close(noticeFd_);
}

bool ChildProcess::waitForNotice(std::chrono::milliseconds timeout)
{
    pollfd entry {noticeFd_, POLLIN, 0};
    int ready = 0;
    while ((ready = poll(&entry, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
    }
    char byte = 0;
    return ready == 1 && read(noticeFd_, &byte, 1) == 1;
}

void ChildProcess::kill(int signal)
{
    if (!reaped_)
        ::kill(pid_, signal);
}

ExitStatus ChildProcess::wait()
{
    if (!reaped_) {
        status_ = reap(pid_);
        reaped_ = true;
    }
    return status_;
}

std::string linkVethPair(pid_t peer, const std::string& localAddress, const std::string& peerAddress)
{
    if (!sandboxSkipReason().empty())
        return "not inside the network sandbox";
    std::string ip = findProgram("ip");
    std::string nsenter = findProgram("nsenter");
    if (ip.empty() || nsenter.empty())
        return "ip or nsenter is not installed";
    const std::string target = std::to_string(peer);
    const std::vector<std::vector<std::string>> steps = {
        {ip, "link", "add", "tessveth0", "type", "veth", "peer", "name", "tessveth1", "netns", target},
        {ip, "addr", "add", localAddress, "dev", "tessveth0"},
        {ip, "link", "set", "tessveth0", "up"},
        {nsenter, "--target", target, "--net", ip, "addr", "add", peerAddress, "dev", "tessveth1"},
        {nsenter, "--target", target, "--net", ip, "link", "set", "tessveth1", "up"},
    };
    for (const std::vector<std::string>& step : steps) {
        if (std::string error = runChecked(step); !error.empty())
            return error;
    }
    return {};
}

} // namespace tess::testing
