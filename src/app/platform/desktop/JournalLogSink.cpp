#include "app/platform/desktop/JournalLogSink.h"

#include "p2p/protocol/P2PLog.h"

#include <systemd/sd-journal.h>

#include <string>

namespace app {

void installJournalLogSink()
{
    p2p::setLogSink([](p2p::LogLevel level, std::string_view subsystem, std::string_view category,
                        std::string_view message) {
        // Texts always go through "%s": file names may contain '%'.
        const std::string text(message);
        const std::string sub(subsystem);
        const std::string cat(category);
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", p2p::syslogPriority(level), "P2P_SUBSYSTEM=%s",
            sub.c_str(), "P2P_CATEGORY=%s", cat.c_str(), nullptr);
    });
}

} // namespace app
