#include "app/services/receive/LocalDevice.h"

#include <QFile>
#include <QList>
#include <QSettings>
#include <QSysInfo>
#include <QUuid>

#include <memory>

namespace app {

namespace {

constexpr auto identifierKey = "peerDeviceIdentifier";

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

// A shell-style value: "…" with backslash escapes, '…' literally, or bare.
QString unquoted(QByteArray value)
{
    value = value.trimmed();
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return QString::fromUtf8(value.mid(1, value.size() - 2));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        const QByteArray inner = value.mid(1, value.size() - 2);
        QByteArray result;
        for (qsizetype i = 0; i < inner.size(); ++i) {
            if (inner[i] == '\\' && i + 1 < inner.size())
                ++i;
            result.append(inner[i]);
        }
        return QString::fromUtf8(result);
    }
    return QString::fromUtf8(value);
}

} // namespace

std::optional<QString> prettyHostName(const QByteArray& machineInfo)
{
    std::optional<QString> found;
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith("PRETTY_HOSTNAME="))
            found = unquoted(line.mid(int(sizeof("PRETTY_HOSTNAME=")) - 1)); // the last assignment wins
    }
    if (!found || found->trimmed().isEmpty())
        return std::nullopt;
    return found;
}

std::optional<QString> hardwareModel(const LocalDeviceSources& sources)
{
    for (const QString& path : {sources.productNameFile, sources.deviceTreeModelFile}) {
        QByteArray text = readSmallFile(path);
        while (!text.isEmpty() && (text.back() == '\0' || QChar::isSpace(uchar(text.back()))))
            text.chop(1);
        const QString model = QString::fromUtf8(text).trimmed();
        if (!model.isEmpty())
            return model;
    }
    return std::nullopt;
}

QString stableIdentifier(QSettings& settings)
{
    const QString stored = settings.value(identifierKey).toString();
    if (!stored.isEmpty())
        return stored;
    const QString identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    settings.setValue(identifierKey, identifier);
    settings.sync();
    return identifier;
}

p2p::DeviceInfo localDeviceInfo(const LocalDeviceSources& sources)
{
    p2p::DeviceInfo device;
    QString name = prettyHostName(readSmallFile(sources.machineInfoFile)).value_or(QString());
    if (name.isEmpty())
        name = (sources.hostName ? sources.hostName() : QSysInfo::machineHostName()).trimmed();
    device.name = (name.isEmpty() ? QStringLiteral("Linux") : name).toStdString();
    if (const auto model = hardwareModel(sources))
        device.model = model->toStdString();
    device.systemVersion = QSysInfo::prettyProductName().toStdString();

    std::unique_ptr<QSettings> ownSettings;
    QSettings* settings = sources.settings;
    if (!settings) {
        ownSettings = std::make_unique<QSettings>();
        settings = ownSettings.get();
    }
    device.identifier = stableIdentifier(*settings).toStdString();
    return device;
}

} // namespace app
