#include "app/platform/desktop/ExitWait.h"

#include <QCoreApplication>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>

namespace app {

namespace {

constexpr int kExitWaitMs = 3000;

QMutex poolsLock;

QList<QThreadPool*>& pools()
{
    static QList<QThreadPool*> list;
    return list;
}

void drainPools()
{
    QList<QThreadPool*> all;
    {
        QMutexLocker lock(&poolsLock);
        all.swap(pools());
    }
    for (QThreadPool* pool : std::as_const(all))
        pool->clear();
    for (QThreadPool* pool : std::as_const(all))
        pool->waitForDone(kExitWaitMs);
}

} // namespace

void drainAtExit(QThreadPool& pool)
{
    if (!QCoreApplication::instance())
        return;
    QMutexLocker lock(&poolsLock);
    // One routine per application object; it takes the list it drains.
    if (pools().isEmpty())
        qAddPostRoutine(drainPools);
    pools().append(&pool);
}

} // namespace app
