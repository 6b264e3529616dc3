#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace app {

// One running program per user: two would share kept scans, thumbnails and backup folders. The
// first start holds a lock in the user's runtime folder ($XDG_RUNTIME_DIR, else Qt's private
// runtime folder) and listens on a local socket beside it; a later start finds the lock taken,
// asks the first to bring its window forward and ends.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `runtimeFolder` empty: the user's runtime folder.
    explicit SingleInstance(QString runtimeFolder = QString(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // This process holds the lock: it is the one program.
    bool isFirst() const { return first_; }
    // From a later start: asks the first program to raise its window. False when it did not answer.
    bool askFirstToRaise();

Q_SIGNALS:
    // A later start asked for the window.
    void raiseRequested();

private:
    QString folder_;
    int lockFd_ = -1;
    bool first_ = false;
    QLocalServer* server_ = nullptr;
};

} // namespace app
