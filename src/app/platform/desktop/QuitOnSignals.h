#pragma once

namespace app {

// SIGTERM (a logout or shutdown, `kill`), SIGINT and SIGHUP, and the session manager's logout end
// the program through QCoreApplication::quit(), so what runs at a normal quit (the rotation writes
// the user still has pending) runs then too. The signal handler only writes to a pipe; the main
// thread reads it. Call once, on the main thread, after the application object exists.
void quitOnSignals();

} // namespace app
