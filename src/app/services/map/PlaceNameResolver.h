#pragma once

#include "app/models/MediaItem.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSettings;

namespace app {

class NetworkClient;

// One way of naming a place. Calls `done` exactly once, on the main thread, with nothing when it
// has no answer.
class PlaceSource {
public:
    using Done = std::function<void(const std::optional<QString>&)>;
    virtual ~PlaceSource() = default;
    virtual void resolve(const Coordinate& coordinate, Done done) = 0;
};

// The reverse-geocoding web service's keyed endpoint. The key and the base address are settings;
// with no key it answers nothing and sends nothing. The service is not trusted: its answer is
// bounded in bytes and in time as it arrives, and read on a worker.
class WebPlaceSource final : public QObject, public PlaceSource {
    Q_OBJECT
public:
    struct Options {
        // nullptr: the application's settings, read at every request.
        QSettings* settings = nullptr;
        // The whole exchange, not the time between two bytes.
        int timeoutMs = 10000;
        qint64 maximumAnswerBytes = 256 * 1024;
    };

    static constexpr const char* keyKey = "placeNames/key";
    static constexpr const char* baseURLKey = "placeNames/baseURL";
    static constexpr const char* defaultBaseURL = "https://api-bdc.net";

    explicit WebPlaceSource(Options options, QObject* parent = nullptr);
    ~WebPlaceSource() override;

    void resolve(const Coordinate& coordinate, Done done) override;

    static QUrl requestUrl(const QString& baseURL, const QString& key, const Coordinate& coordinate);
    // "country · region · city" from an answer; nothing when it names nothing.
    static std::optional<QString> placeName(const QJsonObject& answer);
    static std::optional<QString> preferredCity(const QJsonObject& answer);
    // The name in an answer's bytes; nothing for anything but a JSON object that names a place.
    static std::optional<QString> placeName(const QByteArray& answer);

    // Answer bytes read so far, for tests.
    qint64 bytesRead() const { return bytesRead_; }

private:
    Options options_;
    std::unique_ptr<NetworkClient> network_;
    qint64 bytesRead_ = 0;
};

// A coordinate to one short Chinese place name, remembered for the rest of the run. Main thread only.
class PlaceNameResolver : public QObject {
    Q_OBJECT
public:
    static inline const QString unknownPlace = "未知地点";
    static constexpr int cacheLimit = 400;

    explicit PlaceNameResolver(std::vector<std::unique_ptr<PlaceSource>> sources, QObject* parent = nullptr);
    ~PlaceNameResolver() override;

    // The process-wide resolver over the web service with the application's settings.
    static PlaceNameResolver& shared();

    // Calls `done` with the name, or "未知地点" when no source knows; never when `context` is gone.
    // A cached name is delivered before this returns.
    void resolve(const Coordinate& coordinate, QObject* context, std::function<void(const QString&)> done);

    // Coordinates that agree to four decimals (about 11 m) share a name.
    static QString cacheKey(const Coordinate& coordinate);
    static QString preferSimplifiedChinese(const QString& text);
    // Without control, line-breaking and direction-changing characters: a name is shown as it
    // reads, on one line.
    static QString withoutControls(const QString& text);
    qsizetype cachedCount() const { return cache_.size(); }

private:
    void ask(size_t source, const Coordinate& coordinate, QPointer<QObject> context,
             std::function<void(const QString&)> done);
    void store(const QString& key, const QString& name);

    std::vector<std::unique_ptr<PlaceSource>> sources_;
    QHash<QString, QString> cache_;
};

} // namespace app
