#pragma once

#include "app/platform/volumes/VolumeMonitor.h"

#include <QString>
#include <QTimer>

class QSocketNotifier;

namespace app {

// The kernel flags /proc/self/mountinfo once per mount or unmount. Bursts (a drive with several
// partitions) are folded into one report. Relabelling a file system gives no event.
class MountInfoVolumeMonitor final : public VolumeMonitor {
    Q_OBJECT
public:
    explicit MountInfoVolumeMonitor(QObject* parent = nullptr, const QString& path = "/proc/self/mountinfo",
                                    int debounceMs = 300);
    ~MountInfoVolumeMonitor() override;

    bool isWatching() const { return m_fd >= 0; }

private:
    void drain();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_debounce;
};

} // namespace app
