#include "p2p/protocol/P2PLog.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace p2p {

namespace {

std::mutex sinkMutex;

std::shared_ptr<const LogSink>& currentSink()
{
    static std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(stderrLogSink());
    return sink;
}

std::string_view levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::notice:
        return "notice";
    case LogLevel::error:
        return "error";
    }
    return "notice";
}

} // namespace

int syslogPriority(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return 7;
    case LogLevel::info:
        return 6;
    case LogLevel::notice:
        return 5;
    case LogLevel::error:
        return 3;
    }
    return 5;
}

void setLogSink(LogSink sink)
{
    auto replacement = std::make_shared<const LogSink>(sink ? std::move(sink) : stderrLogSink());
    const std::lock_guard lock(sinkMutex);
    currentSink() = std::move(replacement);
}

LogSink stderrLogSink()
{
    return [](LogLevel level, std::string_view subsystem, std::string_view category, std::string_view message) {
        // One write per line so lines from several threads do not interleave.
        std::string line;
        line.reserve(subsystem.size() + category.size() + message.size() + 16);
        line.append(subsystem).append(" [").append(category).append("] ").append(levelName(level)).append(": ");
        line.append(message).push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    };
}

void Logger::log(LogLevel level, std::string_view message) const
{
    std::shared_ptr<const LogSink> sink;
    {
        const std::lock_guard lock(sinkMutex);
        sink = currentSink();
    }
    (*sink)(level, P2PLog::subsystem, category_, message);
}

} // namespace p2p
