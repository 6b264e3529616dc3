#pragma once

#include "p2p/protocol/messages/DeviceInfo.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class QSettings;

namespace app {

// Where this computer's description comes from; tests point the files elsewhere.
struct LocalDeviceSources {
    QString machineInfoFile = "/etc/machine-info";
    QString productNameFile = "/sys/class/dmi/id/product_name";
    QString deviceTreeModelFile = "/proc/device-tree/model";
    std::function<QString()> hostName; // empty: QSysInfo::machineHostName()
    QSettings* settings = nullptr;     // null: the application's settings
};

// How this computer introduces itself to the phone: its pretty name, its hardware model, the
// system's version and an identifier that stays the same across launches.
p2p::DeviceInfo localDeviceInfo(const LocalDeviceSources& sources);

// PRETTY_HOSTNAME from the text of /etc/machine-info, unquoted; none when absent or empty.
std::optional<QString> prettyHostName(const QByteArray& machineInfo);
// The first model file that names something, without its trailing NUL and blanks.
std::optional<QString> hardwareModel(const LocalDeviceSources& sources);
// Stored under "peerDeviceIdentifier"; a new upper-case UUID when nothing (or "") is stored.
QString stableIdentifier(QSettings& settings);

} // namespace app
