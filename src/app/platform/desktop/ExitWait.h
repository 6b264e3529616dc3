#pragma once

class QThreadPool;

namespace app {

// For pools that live as long as the process. When the application object goes away, their queued
// tasks are dropped and the running ones waited for, briefly (a stalled drive must not hang the
// exit), so none is left inside a decoding library while the process tears down its globals.
// Does nothing when no application object exists.
void drainAtExit(QThreadPool& pool);

} // namespace app
