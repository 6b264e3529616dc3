#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class QLocalServer;

namespace app {

// One running program per user: two would share kept scans, thumbnails and backup folders. The
// first start holds a lock in the user's runtime folder ($XDG_RUNTIME_DIR, else Qt's private
// runtime folder), or in the program's cache folder when the runtime folder cannot hold it with a
// socket beside it, and listens on that socket; a later start finds the lock taken, asks the first
// through the socket beside it to bring its window forward and ends. When neither folder can hold a lock the program runs anyway.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Answer {
        raised,     // the first brought its window forward: this start ends
        firstEnded, // the first went away meanwhile: this start holds the lock and runs
        noAnswer,   // the first neither answered nor ended
    };

    static inline const QString notAnsweringText = QStringLiteral("Tessivarnholm 已在运行，但没有响应。");
    static constexpr std::chrono::milliseconds patience {5000};

    // Empty folders: the user's runtime folder and the program's cache folder.
    explicit SingleInstance(QString runtimeFolder = QString(), QString cacheFolder = QString(),
                            QObject* parent = nullptr);
    // The socket file goes before the lock, so a later start never loses a socket it just made.
    ~SingleInstance() override;

    // This process holds the lock (or no lock can be had): it is the one program.
    bool isFirst() const { return first_; }
    // From a later start: asks the first program to raise its window, waiting at most `wait` for it
    // to answer or to end.
    Answer askFirstToRaise(std::chrono::milliseconds wait = patience);

Q_SIGNALS:
    // A later start asked for the window.
    void raiseRequested();

private:
    bool takeLock();
    void listen();

    QString socketPath_;
    int lockFd_ = -1;
    bool first_ = false;
    QLocalServer* server_ = nullptr;
};

} // namespace app
