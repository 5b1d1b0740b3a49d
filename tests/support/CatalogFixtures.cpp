#include <support/CatalogFixtures.h>

#include <vantry/BuildConfig.h>

#include <nlohmann/json.hpp>

#include <functional>

namespace vantry::test {

namespace {

using Json = nlohmann::ordered_json;

std::string host() { return BuildConfig::catalogHost; }

Json validEntry(const std::string &id)
{
    return Json{
        {"id", id},
        {"name", "Game " + id},
        {"tagline", "A tagline"},
        {"description", "A longer description."},
        {"bundleId", "com.example." + id},
        {"appcastURL", "https://" + host() + "/updates/" + id + ".xml"},
        {"minSystemVersion", "2.31"},
        {"iconURL", "https://" + host() + "/icons/" + id + ".png"},
        {"iconSHA256", std::string(64, 'a')},
        {"released", true},
        {"somethingNew", {1, 2, 3}}, // unknown keys are ignored
    };
}

QByteArray document(const Json &games, std::int64_t catalogVersion = 3)
{
    Json doc{{"schemaVersion", 1}, {"catalogVersion", catalogVersion}, {"games", games}};
    return QByteArray::fromStdString(doc.dump());
}

CatalogCase refused(QString name, QByteArray doc, QString error, std::int64_t mark = 0)
{
    CatalogCase c;
    c.name = std::move(name);
    c.document = std::move(doc);
    c.error = std::move(error);
    c.highWaterMark = mark;
    return c;
}

CatalogCase missing(QString name, QByteArray doc, QString field)
{
    CatalogCase c = refused(std::move(name), std::move(doc), QStringLiteral("missingField"));
    c.field = std::move(field);
    return c;
}

CatalogCase accepted(QString name, QByteArray doc, QStringList ids, QList<CatalogCase::Skip> skipped = {},
                     std::int64_t catalogVersion = 3)
{
    CatalogCase c;
    c.name = std::move(name);
    c.document = std::move(doc);
    c.catalogVersion = catalogVersion;
    c.gameIds = std::move(ids);
    c.skipped = std::move(skipped);
    return c;
}

// A document with one good entry and one entry changed by `edit`, which must be skipped.
CatalogCase skippedEntry(QString name, const std::function<void(Json &)> &edit, std::optional<QString> id,
                         QString reason)
{
    Json bad = validEntry("beta");
    edit(bad);
    return accepted(std::move(name), document(Json::array({validEntry("alpha"), bad})), {QStringLiteral("alpha")},
                    {{std::move(id), std::move(reason)}});
}

CatalogCase badURL(QString name, const char *key, std::string url)
{
    const QString reason = QString::fromLatin1(key) + QStringLiteral(" missing, malformed, or off-origin");
    return skippedEntry(std::move(name), [&](Json &e) { e[key] = url; }, QStringLiteral("beta"), reason);
}

CatalogCase skippedFor(QString name, const char *key, Json value, QString reason)
{
    return skippedEntry(std::move(name), [&](Json &e) { e[key] = value; }, QStringLiteral("beta"), std::move(reason));
}

} // namespace

QString onOrigin(const QString &path) { return QStringLiteral("https://%1%2").arg(QString::fromLatin1(BuildConfig::catalogHost), path); }

QByteArray validEntryJson(const QString &id) { return QByteArray::fromStdString(validEntry(id.toStdString()).dump()); }

QList<CatalogCase> catalogCases()
{
    const QString malformedId = QStringLiteral("missing or malformed id");
    const QString badVersion = QStringLiteral("missing or malformed minSystemVersion");
    const QString badDigest = QStringLiteral("iconSHA256 is not 64 lowercase hex characters");
    const QString noFlag = QStringLiteral("missing released flag");
    const Json one = Json::array({validEntry("alpha")});
    QList<CatalogCase> cases;

    // The document as a whole.
    cases << refused(QStringLiteral("not JSON"), "{\"schemaVersion\": 1,", QStringLiteral("invalidJSON"));
    cases << refused(QStringLiteral("bare number"), "7", QStringLiteral("invalidJSON"));
    cases << refused(QStringLiteral("invalid UTF-8"), "{\"schemaVersion\": 1, \"x\": \"\xff\"}", QStringLiteral("invalidJSON"));
    cases << refused(QStringLiteral("top-level array"), "[{\"schemaVersion\": 1}]", QStringLiteral("notJSONObject"));
    cases << missing(QStringLiteral("no schemaVersion"), "{\"catalogVersion\": 3, \"games\": []}", QStringLiteral("schemaVersion"));
    cases << missing(QStringLiteral("schemaVersion as text"), "{\"schemaVersion\": \"1\", \"catalogVersion\": 3, \"games\": []}", QStringLiteral("schemaVersion"));
    cases << missing(QStringLiteral("schemaVersion 1.0"), "{\"schemaVersion\": 1.0, \"catalogVersion\": 3, \"games\": []}", QStringLiteral("schemaVersion"));
    cases << missing(QStringLiteral("schemaVersion true"), "{\"schemaVersion\": true, \"catalogVersion\": 3, \"games\": []}", QStringLiteral("schemaVersion"));
    {
        CatalogCase c = refused(QStringLiteral("schemaVersion 2 before a bad catalogVersion"),
                                "{\"schemaVersion\": 2, \"catalogVersion\": 0}", QStringLiteral("unsupportedSchemaVersion"));
        c.version = 2;
        cases << c;
    }
    for (const std::int64_t version : {0, -1}) {
        CatalogCase c = refused(QStringLiteral("schemaVersion %1").arg(version),
                                QByteArray::fromStdString("{\"schemaVersion\": " + std::to_string(version)
                                                          + ", \"catalogVersion\": 3, \"games\": []}"),
                                QStringLiteral("unsupportedSchemaVersion"));
        c.version = version;
        cases << c;
    }
    cases << missing(QStringLiteral("catalogVersion 0"), "{\"schemaVersion\": 1, \"catalogVersion\": 0, \"games\": []}", QStringLiteral("catalogVersion"));
    cases << missing(QStringLiteral("catalogVersion -3"), "{\"schemaVersion\": 1, \"catalogVersion\": -3, \"games\": []}", QStringLiteral("catalogVersion"));
    cases << missing(QStringLiteral("catalogVersion 5.0"), "{\"schemaVersion\": 1, \"catalogVersion\": 5.0, \"games\": []}", QStringLiteral("catalogVersion"));
    cases << missing(QStringLiteral("catalogVersion beyond 64 bits"), "{\"schemaVersion\": 1, \"catalogVersion\": 18446744073709551615, \"games\": []}", QStringLiteral("catalogVersion"));
    {
        CatalogCase c = refused(QStringLiteral("catalogVersion below the mark, before missing games"),
                                "{\"schemaVersion\": 1, \"catalogVersion\": 41}", QStringLiteral("replay"), 42);
        c.found = 41;
        c.mark = 42;
        cases << c;
    }
    {
        CatalogCase c = accepted(QStringLiteral("catalogVersion equal to the mark"), document(one, 42), {QStringLiteral("alpha")}, {}, 42);
        c.highWaterMark = 42;
        cases << c;
    }
    cases << accepted(QStringLiteral("catalogVersion beyond a double's precision"),
                      "{\"schemaVersion\": 1, \"catalogVersion\": 9007199254740993, \"games\": []}", {}, {}, 9007199254740993);
    cases << missing(QStringLiteral("games as an object"), "{\"schemaVersion\": 1, \"catalogVersion\": 3, \"games\": {}}", QStringLiteral("games"));
    cases << missing(QStringLiteral("no games"), "{\"schemaVersion\": 1, \"catalogVersion\": 3}", QStringLiteral("games"));
    cases << accepted(QStringLiteral("empty games"), document(Json::array()), {});

    // minimumLauncherBuild: any integer as it stands, anything else the default.
    for (const auto &[label, value, expected] : {std::tuple{"absent", std::string(), std::int64_t(1)},
                                                 std::tuple{"as text", std::string("\"7\""), std::int64_t(1)},
                                                 std::tuple{"as 7.5", std::string("7.5"), std::int64_t(1)},
                                                 std::tuple{"negative", std::string("-4"), std::int64_t(-4)},
                                                 std::tuple{"beyond 64 bits", std::string("18446744073709551615"), std::int64_t(1)},
                                                 std::tuple{"largest", std::string("9223372036854775807"),
                                                            std::int64_t(9223372036854775807)}}) {
        const std::string field = value.empty() ? std::string() : ", \"minimumLauncherBuild\": " + value;
        CatalogCase c = accepted(QStringLiteral("minimumLauncherBuild %1").arg(QString::fromLatin1(label)),
                                 QByteArray::fromStdString("{\"schemaVersion\": 1, \"catalogVersion\": 3" + field + ", \"games\": []}"), {});
        c.minimumLauncherBuild = expected;
        cases << c;
    }

    // Elements that are not objects, and duplicates.
    cases << accepted(QStringLiteral("elements that are not objects"),
                      document(Json::array({7, "alpha", nullptr, Json::array(), validEntry("alpha")})), {QStringLiteral("alpha")},
                      {{std::nullopt, QStringLiteral("entry is not a JSON object")},
                       {std::nullopt, QStringLiteral("entry is not a JSON object")},
                       {std::nullopt, QStringLiteral("entry is not a JSON object")},
                       {std::nullopt, QStringLiteral("entry is not a JSON object")}});
    {
        Json capital = validEntry("swirlo");
        capital["id"] = "Swirlo";
        cases << accepted(QStringLiteral("duplicate ids"),
                          document(Json::array({validEntry("swirlo"), validEntry("swirlo"), capital})), {QStringLiteral("swirlo")},
                          {{QStringLiteral("swirlo"), QStringLiteral("duplicate id")}, {QStringLiteral("Swirlo"), malformedId}});
        Json unnamed = validEntry("swirlo");
        unnamed["name"] = "";
        cases << accepted(QStringLiteral("a skipped entry does not claim its id"),
                          document(Json::array({unnamed, validEntry("swirlo")})), {QStringLiteral("swirlo")},
                          {{QStringLiteral("swirlo"), QStringLiteral("missing name")}});
        Json announced = validEntry("beta");
        announced["released"] = false;
        CatalogCase both = accepted(QStringLiteral("announced and released"), document(Json::array({validEntry("alpha"), announced})),
                                    {QStringLiteral("alpha"), QStringLiteral("beta")});
        both.announcedIds = {QStringLiteral("beta")};
        cases << both;
    }

    // The id rule.
    cases << skippedEntry(QStringLiteral("no id"), [](Json &e) { e.erase("id"); }, std::nullopt, malformedId);
    cases << skippedEntry(QStringLiteral("id as a number"), [](Json &e) { e["id"] = 7; }, std::nullopt, malformedId);
    for (const char *id : {"", "Swirlo", "swir_lo", "swir.lo", "swir lo", "swirl\xc3\xb6", "beta\n"})
        cases << skippedEntry(QStringLiteral("id '%1'").arg(QString::fromUtf8(id)), [&](Json &e) { e["id"] = id; },
                              QString::fromUtf8(id), malformedId);
    cases << accepted(QStringLiteral("id of digits and dashes"), document(Json::array({validEntry("9-lives-")})), {QStringLiteral("9-lives-")});

    // Required texts.
    for (const char *key : {"name", "tagline", "description", "bundleId"}) {
        const QString reason = QStringLiteral("missing ") + QString::fromLatin1(key);
        cases << skippedFor(QStringLiteral("empty %1").arg(QString::fromLatin1(key)), key, "", reason);
        cases << skippedFor(QStringLiteral("%1 as a number").arg(QString::fromLatin1(key)), key, 5, reason);
        cases << skippedEntry(QStringLiteral("no %1").arg(QString::fromLatin1(key)), [&](Json &e) { e.erase(key); },
                              QStringLiteral("beta"), reason);
    }
    cases << accepted(QStringLiteral("texts are taken as they stand"),
                      document(Json::array({[] { Json e = validEntry("alpha"); e["name"] = "  "; return e; }()})),
                      {QStringLiteral("alpha")});

    // The origin rule on both URLs.
    const std::string h = host();
    for (const char *key : {"appcastURL", "iconURL"}) {
        const QString k = QString::fromLatin1(key);
        cases << badURL(k + QStringLiteral(" over http"), key, "http://" + h + "/x");
        cases << badURL(k + QStringLiteral(" with an upper-case scheme"), key, "HTTPS://" + h + "/x");
        cases << badURL(k + QStringLiteral(" on another host"), key, "https://example.com/x");
        cases << badURL(k + QStringLiteral(" on a sub-domain"), key, "https://cdn." + h + "/x");
        cases << badURL(k + QStringLiteral(" with a trailing dot"), key, "https://" + h + "./x");
        cases << badURL(k + QStringLiteral(" with port 443"), key, "https://" + h + ":443/x");
        cases << badURL(k + QStringLiteral(" with a user"), key, "https://maker@" + h + "/x");
        cases << badURL(k + QStringLiteral(" with a password"), key, "https://maker:secret@" + h + "/x");
        cases << badURL(k + QStringLiteral(" that is no URL"), key, "not a url");
        cases << badURL(k + QStringLiteral(" with a space"), key, "https://" + h + "/a b");
        cases << skippedFor(k + QStringLiteral(" as a number"), key, 7, k + QStringLiteral(" missing, malformed, or off-origin"));
    }
    {
        Json upperHost = validEntry("alpha");
        std::string loud = h;
        for (auto &c : loud)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        upperHost["appcastURL"] = "https://" + loud + "/feeds/alpha.xml?x=1#top";
        cases << accepted(QStringLiteral("host letters in any case, any path"), document(Json::array({upperHost})),
                          {QStringLiteral("alpha")});
    }

    // The digest.
    cases << skippedFor(QStringLiteral("digest of 63"), "iconSHA256", std::string(63, 'a'), badDigest);
    cases << skippedFor(QStringLiteral("digest of 65"), "iconSHA256", std::string(65, 'a'), badDigest);
    cases << skippedFor(QStringLiteral("digest with an upper-case A"), "iconSHA256", std::string(63, 'b') + "A", badDigest);
    cases << skippedFor(QStringLiteral("digest with a g"), "iconSHA256", std::string(63, 'b') + "g", badDigest);

    // The system version.
    for (const char *version : {"14.02", "14.", "", "+14", "14.2.1.0", " 14"})
        cases << skippedFor(QStringLiteral("minSystemVersion '%1'").arg(QString::fromLatin1(version)), "minSystemVersion",
                            version, badVersion);
    cases << skippedFor(QStringLiteral("minSystemVersion as a number"), "minSystemVersion", 14, badVersion);

    // The released flag.
    cases << skippedFor(QStringLiteral("released as text"), "released", "true", noFlag);
    cases << skippedFor(QStringLiteral("released as 1"), "released", 1, noFlag);
    cases << skippedEntry(QStringLiteral("no released flag"), [](Json &e) { e.erase("released"); }, QStringLiteral("beta"), noFlag);

    // The first failing check names the reason.
    cases << skippedEntry(QStringLiteral("empty name before a bad iconURL"), [](Json &e) {
        e["name"] = "";
        e["iconURL"] = "http://example.com/x";
    }, QStringLiteral("beta"), QStringLiteral("missing name"));
    cases << skippedEntry(QStringLiteral("bad appcastURL before a bad digest"), [](Json &e) {
        e["appcastURL"] = "ftp://example.com/x";
        e["iconSHA256"] = "x";
        e["released"] = "no";
    }, QStringLiteral("beta"), QStringLiteral("appcastURL missing, malformed, or off-origin"));
    cases << skippedEntry(QStringLiteral("bad iconURL before a bad digest"), [](Json &e) {
        e["iconURL"] = "http://example.com/x";
        e["iconSHA256"] = "x";
    }, QStringLiteral("beta"), QStringLiteral("iconURL missing, malformed, or off-origin"));
    cases << skippedEntry(QStringLiteral("bad id before everything"), [](Json &e) {
        e["id"] = "Beta";
        e["name"] = "";
    }, QStringLiteral("Beta"), malformedId);

    return cases;
}

} // namespace vantry::test
