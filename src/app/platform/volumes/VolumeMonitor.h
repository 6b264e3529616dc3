#pragma once

#include <QObject>

namespace app {

// Reports that a file system was mounted, unmounted or renamed.
class VolumeMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~VolumeMonitor() override = default;

Q_SIGNALS:
    void volumesChanged();
};

} // namespace app
