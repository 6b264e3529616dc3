#include "app/services/map/PlaceNameResolver.h"

#include "app/platform/map/BoundedFetch.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QThreadPool>

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <cmath>
#include <limits>
#include <mutex>

namespace app {

namespace {

const QString separator = " · ";

std::optional<QString> nonEmpty(const QJsonValue& value)
{
    if (!value.isString())
        return std::nullopt;
    const QString trimmed = PlaceNameResolver::withoutControls(value.toString()).trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

// The double's shortest text that reads back as the same value, never in the user's locale.
QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

WebPlaceSource::WebPlaceSource(Options options, QObject* parent) : QObject(parent), options_(options) {}

WebPlaceSource::~WebPlaceSource() = default;

QUrl WebPlaceSource::requestUrl(const QString& baseURL, const QString& key, const Coordinate& coordinate)
{
    QUrl url(baseURL);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return {};
    QString path = url.path();
    while (path.endsWith('/'))
        path.chop(1);
    url.setPath(path + "/data/reverse-geocode");
    // Every value fully encoded, so a "+" in a key or an exponent is not read as a space.
    const auto encoded = [](const QString& value) { return QString::fromLatin1(QUrl::toPercentEncoding(value)); };
    url.setQuery("latitude=" + encoded(shortest(coordinate.latitude)) + "&longitude="
                     + encoded(shortest(coordinate.longitude)) + "&localityLanguage=zh&key=" + encoded(key),
                 QUrl::StrictMode);
    return url;
}

void WebPlaceSource::resolve(const Coordinate& coordinate, Done done)
{
    QString key;
    QString base;
    if (options_.settings) {
        key = options_.settings->value(keyKey).toString().trimmed();
        base = options_.settings->value(baseURLKey, defaultBaseURL).toString().trimmed();
    } else {
        const QSettings settings;
        key = settings.value(keyKey).toString().trimmed();
        base = settings.value(baseURLKey, defaultBaseURL).toString().trimmed();
    }
    const QUrl url = key.isEmpty() ? QUrl() : requestUrl(base, key, coordinate);
    if (!url.isValid()) {
        done(std::nullopt);
        return;
    }
    if (!network_)
        network_ = std::make_unique<NetworkClient>();
    auto* fetch = new BoundedFetch(*network_, BoundedFetch::request(url),
                                   {options_.maximumAnswerBytes, options_.timeoutMs}, this);
    connect(fetch, &BoundedFetch::finished, this, [this, fetch, done = std::move(done)] {
        fetch->deleteLater();
        bytesRead_ += fetch->answer().bytesRead;
        const int status = fetch->answer().httpStatus;
        if (fetch->outcome() != BoundedFetch::Outcome::complete || status < 200 || status > 299) {
            done(std::nullopt);
            return;
        }
        // Parsed on a worker: the window never waits for a server's JSON.
        QPointer<WebPlaceSource> self(this);
        QThreadPool::globalInstance()->start([self, body = fetch->answer().body, done] {
            std::optional<QString> name = placeName(body);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, name = std::move(name), done] {
                    if (self)
                        done(name);
                },
                Qt::QueuedConnection);
        });
    });
}

std::optional<QString> WebPlaceSource::placeName(const QByteArray& answer)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return placeName(document.object());
}

std::optional<QString> WebPlaceSource::placeName(const QJsonObject& answer)
{
    QStringList parts;
    // Parts are compared after conversion: "臺灣" and "台灣" are one place once both read "台湾".
    const auto append = [&parts](const std::optional<QString>& part) {
        if (!part)
            return;
        const QString simplified = PlaceNameResolver::preferSimplifiedChinese(*part);
        if (parts.isEmpty() || parts.back() != simplified)
            parts.append(simplified);
    };
    append(nonEmpty(answer.value("countryName")));
    append(nonEmpty(answer.value("principalSubdivision")));
    append(preferredCity(answer));
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(separator);
}

std::optional<QString> WebPlaceSource::preferredCity(const QJsonObject& answer)
{
    const QJsonArray administrative = answer.value("localityInfo").toObject().value("administrative").toArray();
    static const QStringList cityWords = {"岛", "島", "island", "市", "县", "縣", "town", "city"};
    std::optional<QString> best;
    int bestScore = std::numeric_limits<int>::min();
    for (const QJsonValue& entry : administrative) {
        const QJsonObject object = entry.toObject();
        const std::optional<QString> name = nonEmpty(object.value("name"));
        const QJsonValue levelValue = object.value("adminLevel");
        if (!name || !levelValue.isDouble())
            continue;
        const double rawLevel = levelValue.toDouble();
        // Levels are small whole numbers; anything else cannot be a city's level.
        if (!std::isfinite(rawLevel) || rawLevel < 5 || rawLevel > 1000)
            continue;
        const int level = int(rawLevel);
        const QString description = object.value("description").toString().toLower();
        int score = level;
        for (const QString& word : cityWords)
            if (description.contains(word)) {
                score += 10;
                break;
            }
        if (score > bestScore) {
            bestScore = score;
            best = name;
        }
    }
    if (best)
        return best;
    if (const auto city = nonEmpty(answer.value("city")))
        return city;
    return nonEmpty(answer.value("locality"));
}

PlaceNameResolver::PlaceNameResolver(std::vector<std::unique_ptr<PlaceSource>> sources, QObject* parent)
    : QObject(parent), sources_(std::move(sources))
{
}

PlaceNameResolver::~PlaceNameResolver() = default;

PlaceNameResolver& PlaceNameResolver::shared()
{
    static PlaceNameResolver* resolver = [] {
        std::vector<std::unique_ptr<PlaceSource>> sources;
        sources.push_back(std::make_unique<WebPlaceSource>(WebPlaceSource::Options{}));
        return new PlaceNameResolver(std::move(sources));
    }();
    return *resolver;
}

QString PlaceNameResolver::cacheKey(const Coordinate& coordinate)
{
    return QString::number(coordinate.latitude, 'f', 4) + ',' + QString::number(coordinate.longitude, 'f', 4);
}

QString PlaceNameResolver::withoutControls(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool direction = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E
            || u == 0x200F || u == 0x061C;
        const QChar::Category category = c.category();
        if (direction || category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            continue;
        kept.append(c);
    }
    return kept;
}

QString PlaceNameResolver::preferSimplifiedChinese(const QString& text)
{
    // Built once and shared by the workers that read answers: one at a time.
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    static const std::unique_ptr<icu::Transliterator> transliterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> made(
            icu::Transliterator::createInstance("Traditional-Simplified", UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    if (!transliterator || text.isEmpty())
        return text;
    icu::UnicodeString converted(reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()));
    transliterator->transliterate(converted);
    return QString(reinterpret_cast<const QChar*>(converted.getBuffer()), converted.length());
}

void PlaceNameResolver::resolve(const Coordinate& coordinate, QObject* context,
                                std::function<void(const QString&)> done)
{
    const auto cached = cache_.constFind(cacheKey(coordinate));
    if (cached != cache_.cend()) {
        done(*cached);
        return;
    }
    ask(0, coordinate, context, std::move(done));
}

void PlaceNameResolver::ask(size_t source, const Coordinate& coordinate, QPointer<QObject> context,
                            std::function<void(const QString&)> done)
{
    if (source >= sources_.size()) {
        // Not remembered: the next request asks again.
        if (context)
            done(unknownPlace);
        return;
    }
    QPointer<PlaceNameResolver> self(this);
    sources_[source]->resolve(coordinate, [=](const std::optional<QString>& name) {
        if (!self)
            return;
        if (!name) {
            self->ask(source + 1, coordinate, context, done);
            return;
        }
        self->store(cacheKey(coordinate), *name);
        if (context)
            done(*name);
    });
}

void PlaceNameResolver::store(const QString& key, const QString& name)
{
    cache_.insert(key, name);
    // Emptied rather than tracked: the bound is all that matters.
    if (cache_.size() > cacheLimit)
        cache_.clear();
}

} // namespace app
