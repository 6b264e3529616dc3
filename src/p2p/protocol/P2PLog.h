#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace p2p {

namespace P2PLog {
// Shared by every logger of the transfer modules and of the backup-receiving services.
inline constexpr std::string_view subsystem = "org.tessivarnholm.p2p";

namespace Category {
inline constexpr std::string_view discovery = "discovery"; // advertiser, browser, wired listener
inline constexpr std::string_view transport = "transport"; // byte streams, multiplexer client
inline constexpr std::string_view session = "session";
inline constexpr std::string_view transfer = "transfer";
inline constexpr std::string_view send = "send";
inline constexpr std::string_view receive = "receive";     // the receiving session
} // namespace Category
} // namespace P2PLog

// notice is the log's "default" level. Journald priorities: debug 7, info 6, notice 5, error 3.
enum class LogLevel { debug, info, notice, error };

int syslogPriority(LogLevel level);

// Where log lines go. Called from any thread; must not throw.
using LogSink = std::function<void(LogLevel level, std::string_view subsystem, std::string_view category,
    std::string_view message)>;

// Replaces the process-wide sink; an empty sink restores the stderr sink.
void setLogSink(LogSink sink);
// "<subsystem> [<category>] <level>: <message>" on stderr.
LogSink stderrLogSink();

class Logger {
public:
    explicit Logger(std::string_view category) : category_(category) {}

    void debug(std::string_view message) const { log(LogLevel::debug, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void notice(std::string_view message) const { log(LogLevel::notice, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }
    void log(LogLevel level, std::string_view message) const;

    const std::string& category() const { return category_; }

private:
    std::string category_;
};

} // namespace p2p
