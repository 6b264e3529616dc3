#include "app/services/NonCapturedIndex.h"

#include "app/models/PhotoLibrary.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QThreadPool>

namespace app {

namespace {

const char* const kConfirmedKey = "hasConfirmedNonCapturedOrganize";

std::unique_ptr<QSettings> openSettings(const QString& file)
{
    if (!file.isEmpty())
        return std::make_unique<QSettings>(file, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Tessivarnholm"), QStringLiteral("Tessivarnholm"));
}

} // namespace

NonCapturedIndex& NonCapturedIndex::shared()
{
    // Deliberately never destroyed: views may still read it while the application object goes away.
    static auto* instance = new NonCapturedIndex();
    return *instance;
}

NonCapturedIndex::NonCapturedIndex(Environment environment, QObject* parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_alive(std::make_shared<std::atomic<bool>>(true))
{
    m_confirmed = openSettings(m_env.settingsFile)->value(kConfirmedKey, false).toBool();
}

NonCapturedIndex::~NonCapturedIndex()
{
    m_alive->store(false);
}

void NonCapturedIndex::setHasConfirmedOrganize(bool confirmed)
{
    auto settings = openSettings(m_env.settingsFile);
    settings->setValue(kConfirmedKey, confirmed);
    settings->sync();
    if (m_confirmed == confirmed)
        return;
    m_confirmed = confirmed;
    Q_EMIT confirmedChanged(confirmed);
}

bool NonCapturedIndex::isNonCaptured(const QUuid& libraryID, const QString& path) const
{
    const auto library = m_flags.constFind(libraryID);
    return library != m_flags.constEnd() && library->value(path, false);
}

void NonCapturedIndex::ensureClassified(const QUuid& libraryID, const MediaItems& items)
{
    Q_UNUSED(libraryID);
    Q_UNUSED(items);
}

QString NonCapturedIndex::cachePath(const QUuid& libraryID) const
{
    QString dir = m_env.cacheDirectory;
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/Tessivarnholm/nonCaptured");
    return dir + QLatin1Char('/') + uuidString(libraryID) + QStringLiteral(".json");
}

} // namespace app
