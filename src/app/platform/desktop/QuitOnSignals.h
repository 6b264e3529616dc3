#pragma once

#include <functional>

class QObject;

namespace app {

// SIGTERM (a logout or shutdown, `kill`), SIGINT and SIGHUP end the program through
// QCoreApplication::quit(), so what runs at a normal quit (the rotation writes the user still has
// pending) runs then too. The signal handler only writes to a pipe; the main thread reads it. Call
// once, on the main thread, after the application object exists.
void quitOnSignals();

// The session manager's request to save runs `save` and leaves the program running: it comes
// before a logout, which another program may still cancel, and for a checkpoint of a session that
// goes on. A logout that happens ends the program by its signal. Connected while `context` lives.
void saveOnSessionRequest(QObject* context, std::function<void()> save);

} // namespace app
