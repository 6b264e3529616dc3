#pragma once

namespace app {

// Routes the transfer modules' log lines to journald (fields P2P_SUBSYSTEM and P2P_CATEGORY).
void installJournalLogSink();

} // namespace app
