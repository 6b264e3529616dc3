#include "app/platform/volumes/MountInfoVolumeMonitor.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcVolumes, "tessivarnholm.volumes")

namespace app {

MountInfoVolumeMonitor::MountInfoVolumeMonitor(QObject* parent, const QString& path, int debounceMs)
    : VolumeMonitor(parent)
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(debounceMs);
    connect(&m_debounce, &QTimer::timeout, this, &VolumeMonitor::volumesChanged);

    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        qCWarning(lcVolumes) << "cannot watch" << path;
        return;
    }
    drain();
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Exception, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        drain();
        m_debounce.start();
    });
}

MountInfoVolumeMonitor::~MountInfoVolumeMonitor()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void MountInfoVolumeMonitor::drain()
{
    // The exception condition stays raised until the file is read again from the start.
    char buffer[4096];
    if (::lseek(m_fd, 0, SEEK_SET) < 0)
        return;
    while (::read(m_fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace app
