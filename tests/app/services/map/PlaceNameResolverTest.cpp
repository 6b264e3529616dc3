#include "app/services/map/PlaceNameResolver.h"

#include "support/app/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace app;
using app::testing::LoopbackHttpServer;

namespace {

struct Harness {
    explicit Harness(LoopbackHttpServer::Response answer, int timeoutMs = 10000)
        : server([answer](const LoopbackHttpServer::Request&) { return answer; })
    {
        settings.setValue(WebPlaceSource::baseURLKey, server.baseUrl());
        settings.setValue(WebPlaceSource::keyKey, "test+key");
        std::vector<std::unique_ptr<PlaceSource>> sources;
        auto made = std::make_unique<WebPlaceSource>(WebPlaceSource::Options{&settings, timeoutMs});
        web = made.get();
        sources.push_back(std::move(made));
        resolver = std::make_unique<PlaceNameResolver>(std::move(sources));
    }

    // Resolves and waits for the answer.
    QString resolve(const Coordinate& coordinate)
    {
        std::optional<QString> answer;
        QObject context;
        resolver->resolve(coordinate, &context, [&answer](const QString& name) { answer = name; });
        [&] { ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 10000)); }();
        return answer.value_or("(no answer)");
    }

    LoopbackHttpServer server;
    QTemporaryDir dir;
    QSettings settings{dir.filePath("s.ini"), QSettings::IniFormat};
    std::unique_ptr<PlaceNameResolver> resolver;
    WebPlaceSource* web = nullptr;
};

LoopbackHttpServer::Response json(const QByteArray& body, int status = 200)
{
    LoopbackHttpServer::Response r;
    r.status = status;
    r.body = body;
    r.contentType = "application/json";
    return r;
}

} // namespace

// Answers of the web service, good and bad, and what the sheet shows for each.
TEST(PlaceNameResolver, ParsesConvertsAndFallsBack)
{
    struct Row {
        const char* name;
        LoopbackHttpServer::Response answer;
        QString expected;
        int timeoutMs = 10000;
    };
    // Where a hostile service would send the request, key and all.
    LoopbackHttpServer elsewhere([](const LoopbackHttpServer::Request&) { return json(R"({"countryName":"中国"})"); });
    const auto hostile = [](LoopbackHttpServer::Response r, qint64 filler, int trickleMs = 0) {
        r.fillerBytes = filler;
        r.trickleMs = trickleMs;
        return r;
    };
    const Row rows[] = {
        {"traditional parts come back simplified",
         json(R"({"countryName":"臺灣","principalSubdivision":"臺北市","localityInfo":{"administrative":[
              {"name":"臺灣","adminLevel":2,"description":"country"},{"name":"中正區","adminLevel":7}]}})"),
         "台湾 · 台北市 · 中正区"},
        {"parts equal once converted appear once",
         json(R"({"countryName":"臺灣","principalSubdivision":"台灣","city":"臺灣"})"), "台湾"},
        {"levels of 4 and below are never the city",
         json(R"({"countryName":"中国","localityInfo":{"administrative":[{"name":"上海市","adminLevel":4,
              "description":"city"}]},"city":"浦东"})"),
         "中国 · 浦东"},
        {"a city word beats a deeper level",
         json(R"({"countryName":"中国","principalSubdivision":"浙江省","localityInfo":{"administrative":[
              {"name":"西湖区","adminLevel":8},{"name":"杭州市","adminLevel":6,"description":"A City"}]}})"),
         "中国 · 浙江省 · 杭州市"},
        {"equal scores keep the earlier",
         json(R"({"countryName":"日本","localityInfo":{"administrative":[{"name":"甲","adminLevel":7},
              {"name":"乙","adminLevel":7},{"name":"丙","adminLevel":"9"}]}})"),
         "日本 · 甲"},
        {"no city, locality instead", json(R"({"countryName":"冰岛","city":"  ","locality":"雷克雅未克"})"),
         "冰岛 · 雷克雅未克"},
        {"nothing usable", json(R"({"countryName":" ","other":1})"), PlaceNameResolver::unknownPlace},
        {"404", json("{}", 404), PlaceNameResolver::unknownPlace},
        {"500", json(R"({"countryName":"中国"})", 500), PlaceNameResolver::unknownPlace},
        {"a JSON array", json(R"([{"countryName":"中国"}])"), PlaceNameResolver::unknownPlace},
        {"not JSON", json("<html>busy</html>"), PlaceNameResolver::unknownPlace},
        {"too slow", [] { auto r = json(R"({"countryName":"中国"})"); r.delayMs = 2000; return r; }(),
         PlaceNameResolver::unknownPlace, 100},
        {"markup stays, control and direction characters go",
         json("{\"countryName\":\"<b>中国</b>\u202Egpj.exe\",\"city\":\"\u2066上海\u2069\\n\u0007市\"}"),
         "<b>中国</b>gpj.exe · 上海市"},
        {"10 MiB answer", hostile(json(R"({"countryName":"中国","x":")"), 10 * 1024 * 1024),
         PlaceNameResolver::unknownPlace},
        {"an endless answer", hostile(json(R"({"countryName":"中国","x":")"), -1), PlaceNameResolver::unknownPlace},
        {"a byte every 20 ms stops at the limit in all",
         hostile(json(R"({"countryName":"中国"})"), 400, 20), PlaceNameResolver::unknownPlace, 300},
        {"a redirect to another host",
         [&] {
             auto r = json("", 302);
             r.headers = {{"Location", QString("http://localhost:%1/data/reverse-geocode?key=test")
                                           .arg(QUrl(elsewhere.baseUrl()).port()).toUtf8()}};
             return r;
         }(),
         PlaceNameResolver::unknownPlace},
    };
    for (const Row& row : rows) {
        Harness h(row.answer, row.timeoutMs);
        EXPECT_EQ(h.resolve({25.0330, 121.5654}), row.expected) << row.name;
        EXPECT_LE(h.web->bytesRead(), 256 * 1024 + 1) << row.name;
        ASSERT_EQ(h.server.requests().size(), 1) << row.name;
        EXPECT_TRUE(h.server.requests()[0].userAgent.startsWith("Tessivarnholm/")) << row.name;
        EXPECT_EQ(h.server.requests()[0].path, "/data/reverse-geocode");
        EXPECT_EQ(h.server.requests()[0].query,
                  "latitude=25.033&longitude=121.5654&localityLanguage=zh&key=test%2Bkey")
            << row.name;
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

// Names are remembered per coordinate rounded to four decimals; the fallback is not; the cache
// empties itself past 400 names; no key means no request at all.
TEST(PlaceNameResolver, CachesNamesAndNeedsAKey)
{
    Harness h(json(R"({"countryName":"中国"})"));
    EXPECT_EQ(h.resolve({31.23041, 121.47369}), "中国");
    EXPECT_EQ(h.resolve({31.23039, 121.47371}), "中国");
    EXPECT_EQ(h.server.requests().size(), 1) << "same four-decimal key";
    EXPECT_EQ(h.resolve({31.2301, 121.4737}), "中国");
    EXPECT_EQ(h.server.requests().size(), 2) << "the same to three decimals only";
    EXPECT_EQ(h.server.requests()[0].query, "latitude=31.23041&longitude=121.47369&localityLanguage=zh&key=test%2Bkey");

    // The cache's bound, over a source that answers at once and counts.
    struct CountingSource final : PlaceSource {
        explicit CountingSource(int& asked) : asked(asked) {}
        void resolve(const Coordinate& c, Done done) override
        {
            ++asked;
            done(PlaceNameResolver::cacheKey(c));
        }
        int& asked;
    };
    int asked = 0;
    std::vector<std::unique_ptr<PlaceSource>> sources;
    sources.push_back(std::make_unique<CountingSource>(asked));
    PlaceNameResolver counted(std::move(sources));
    QObject context;
    const auto resolveAt = [&](double latitude) { counted.resolve({latitude, 0}, &context, [](const QString&) {}); };
    for (int i = 0; i < PlaceNameResolver::cacheLimit; ++i)
        resolveAt(i / 100.0);
    EXPECT_EQ(counted.cachedCount(), PlaceNameResolver::cacheLimit);
    resolveAt(0);
    EXPECT_EQ(asked, PlaceNameResolver::cacheLimit) << "a cached name asks no source";
    resolveAt(-1);
    EXPECT_EQ(counted.cachedCount(), 0) << "the 401st name empties the cache";
    resolveAt(-1);
    EXPECT_EQ(asked, PlaceNameResolver::cacheLimit + 2);

    Harness failing(json("{}", 500));
    failing.resolve({1, 2});
    failing.resolve({1, 2});
    EXPECT_EQ(failing.server.requests().size(), 2) << "the fallback text is not remembered";

    Harness keyless(json(R"({"countryName":"中国"})"));
    keyless.settings.remove(WebPlaceSource::keyKey);
    EXPECT_EQ(keyless.resolve({1, 2}), PlaceNameResolver::unknownPlace);
    EXPECT_TRUE(keyless.server.requests().isEmpty());
}
