#include <support/CatalogFixtures.h>

#include <vantry/BuildConfig.h>

#include <nlohmann/json.hpp>

namespace vantry::test {

namespace {

using Json = nlohmann::ordered_json;

const std::string host = BuildConfig::catalogHost;

Json validEntry(const std::string &id)
{
    return Json{
        {"id", id},
        {"name", "Game " + id},
        {"tagline", "A tagline"},
        {"description", "A longer description."},
        {"bundleId", "com.example." + id},
        {"appcastURL", "https://" + host + "/updates/" + id + ".xml"},
        {"minSystemVersion", "2.31"},
        {"iconURL", "https://" + host + "/icons/" + id + ".png"},
        {"iconSHA256", std::string(64, 'a')},
        {"released", true},
        {"somethingNew", {1, 2, 3}}, // unknown keys are ignored
    };
}

// In an edit, a key set to this is removed from the entry.
const Json absent(Json::value_t::discarded);

Json edited(const std::string &id, const Json &edit)
{
    Json entry = validEntry(id);
    for (const auto &[key, value] : edit.items()) {
        if (value.is_discarded())
            entry.erase(key);
        else
            entry[key] = value;
    }
    return entry;
}

QByteArray document(const Json &games, std::int64_t catalogVersion = 3)
{
    return QByteArray::fromStdString(Json{{"schemaVersion", 1}, {"catalogVersion", catalogVersion}, {"games", games}}.dump());
}

CatalogCase outcome(const QString &name, const QByteArray &doc, const QString &expected, std::int64_t mark = 0)
{
    return CatalogCase{name, doc, mark, expected};
}

// One good entry beside the entry "beta" changed by `edit`, which is skipped for `reason`.
CatalogCase skipped(const QString &name, const Json &edit, const QString &reason)
{
    const Json bad = edited("beta", edit);
    const QString id = bad.contains("id") && bad["id"].is_string() ? QString::fromStdString(bad["id"].get<std::string>()) : u"-"_qs;
    return outcome(name, document(Json::array({validEntry("alpha"), bad})),
                   u"version 3, build 1: alpha; skipped: %1 (%2)"_qs.arg(id, reason));
}

} // namespace

QString onOrigin(const QString &path) { return u"https://"_qs + QString::fromStdString(host) + path; }

QByteArray validEntryJson(const QString &id) { return QByteArray::fromStdString(validEntry(id.toStdString()).dump()); }

QString refusal(const QString &error, const QString &field, std::int64_t version, std::int64_t found, std::int64_t mark)
{
    if (error == u"missingField"_qs)
        return error + u' ' + field;
    if (error == u"unsupportedSchemaVersion"_qs)
        return error + u' ' + QString::number(version);
    if (error == u"replay"_qs)
        return u"replay %1 below %2"_qs.arg(found).arg(mark);
    return error;
}

QString acceptance(std::int64_t catalogVersion, std::int64_t minimumLauncherBuild, const QStringList &games,
                   const QStringList &skipped)
{
    return u"version %1, build %2: "_qs.arg(catalogVersion).arg(minimumLauncherBuild) + games.join(u", "_qs)
        + (skipped.isEmpty() ? QString() : u"; skipped: "_qs + skipped.join(u", "_qs));
}

QList<CatalogCase> catalogCases()
{
    const QString badId = u"missing or malformed id"_qs;
    const QString badDigest = u"iconSHA256 is not 64 lowercase hex characters"_qs;
    const QString badVersion = u"missing or malformed minSystemVersion"_qs;
    const QString noFlag = u"missing released flag"_qs;
    const auto offOrigin = [](const char *key) { return QString::fromLatin1(key) + u" missing, malformed, or off-origin"_qs; };
    const Json alpha = validEntry("alpha");
    // The document as a whole: the first check that fails names the error.
    QList<CatalogCase> cases{
        outcome(u"not JSON"_qs, R"({"schemaVersion": 1,)", u"invalidJSON"_qs),
        outcome(u"a bare number"_qs, "7", u"invalidJSON"_qs),
        outcome(u"a top-level array"_qs, R"([{"schemaVersion": 1}])", u"notJSONObject"_qs),
        outcome(u"schemaVersion 1.0"_qs, R"({"schemaVersion": 1.0, "catalogVersion": 3, "games": []})", u"missingField schemaVersion"_qs),
        outcome(u"schemaVersion 0"_qs, R"({"schemaVersion": 0, "catalogVersion": 3, "games": []})", u"unsupportedSchemaVersion 0"_qs),
        outcome(u"schemaVersion 2 before a bad catalogVersion"_qs, R"({"schemaVersion": 2, "catalogVersion": 0})",
                u"unsupportedSchemaVersion 2"_qs),
        outcome(u"catalogVersion 0"_qs, R"({"schemaVersion": 1, "catalogVersion": 0, "games": []})", u"missingField catalogVersion"_qs),
        outcome(u"catalogVersion 5.0"_qs, R"({"schemaVersion": 1, "catalogVersion": 5.0, "games": []})", u"missingField catalogVersion"_qs),
        outcome(u"catalogVersion beyond 64 bits"_qs, R"({"schemaVersion": 1, "catalogVersion": 18446744073709551615, "games": []})",
                u"missingField catalogVersion"_qs),
        outcome(u"catalogVersion below the mark, before missing games"_qs, R"({"schemaVersion": 1, "catalogVersion": 41})",
                u"replay 41 below 42"_qs, 42),
        outcome(u"catalogVersion equal to the mark"_qs, document(Json::array({alpha}), 42), u"version 42, build 1: alpha"_qs, 42),
        outcome(u"catalogVersion beyond a double's precision"_qs, R"({"schemaVersion": 1, "catalogVersion": 9007199254740993, "games": []})",
                u"version 9007199254740993, build 1: "_qs),
        outcome(u"games as an object"_qs, R"({"schemaVersion": 1, "catalogVersion": 3, "games": {}})", u"missingField games"_qs),
        outcome(u"no games"_qs, R"({"schemaVersion": 1, "catalogVersion": 3})", u"missingField games"_qs),
    };
    // minimumLauncherBuild: any 64-bit integer as it stands, anything else the default.
    for (const auto &[text, build] : {std::pair{"7.5", "1"}, std::pair{"-4", "-4"}, std::pair{"9223372036854775807", "9223372036854775807"}})
        cases << outcome(u"minimumLauncherBuild "_qs + QString::fromLatin1(text),
                         R"({"schemaVersion": 1, "catalogVersion": 3, "games": [], "minimumLauncherBuild": )" + QByteArray(text) + "}",
                         u"version 3, build %1: "_qs.arg(QString::fromLatin1(build)));

    // Entries: a bad one is skipped with the reason of its first failing check, the others stay.
    cases << outcome(u"announced and released"_qs, document(Json::array({alpha, edited("beta", {{"released", false}})})),
                     u"version 3, build 1: alpha, beta (announced)"_qs)
          << outcome(u"an element that is not an object"_qs, document(Json::array({"alpha", alpha})),
                     u"version 3, build 1: alpha; skipped: - (entry is not a JSON object)"_qs)
          << outcome(u"duplicate ids"_qs, document(Json::array({validEntry("swirlo"), validEntry("swirlo"), edited("swirlo", {{"id", "Swirlo"}})})),
                     u"version 3, build 1: swirlo; skipped: swirlo (duplicate id), Swirlo (missing or malformed id)"_qs)
          << outcome(u"a skipped entry does not claim its id"_qs,
                     document(Json::array({edited("swirlo", {{"name", ""}}), validEntry("swirlo")})),
                     u"version 3, build 1: swirlo; skipped: swirlo (missing name)"_qs)
          << outcome(u"id of digits and dashes, texts as they stand"_qs, document(Json::array({edited("9-lives-", {{"name", "  "}})})),
                     u"version 3, build 1: 9-lives-"_qs)
          << skipped(u"id as a number"_qs, {{"id", 7}}, badId);
    for (const char *id : {"", "Swirlo", "swir.lo", "swirl\xc3\xb6", "beta\n"})
        cases << skipped(u"id '%1'"_qs.arg(QString::fromUtf8(id)), {{"id", id}}, badId);
    cases << skipped(u"empty name"_qs, {{"name", ""}}, u"missing name"_qs)
          << skipped(u"tagline as a number"_qs, {{"tagline", 5}}, u"missing tagline"_qs)
          << skipped(u"no description"_qs, {{"description", absent}}, u"missing description"_qs)
          << skipped(u"empty bundleId"_qs, {{"bundleId", ""}}, u"missing bundleId"_qs)
          // URLs are judged as written: a parser would fold the scheme to lower case.
          << skipped(u"appcastURL with an upper-case scheme"_qs, {{"appcastURL", "HTTPS://" + host + "/x"}}, offOrigin("appcastURL"))
          << skipped(u"iconURL with an upper-case scheme"_qs, {{"iconURL", "HTTPS://" + host + "/x"}}, offOrigin("iconURL"))
          << skipped(u"iconURL as a number"_qs, {{"iconURL", 7}}, offOrigin("iconURL"))
          << skipped(u"digest of 63"_qs, {{"iconSHA256", std::string(63, 'a')}}, badDigest)
          << skipped(u"digest of 65"_qs, {{"iconSHA256", std::string(65, 'a')}}, badDigest)
          << skipped(u"digest with an upper-case A"_qs, {{"iconSHA256", std::string(63, 'b') + "A"}}, badDigest)
          << skipped(u"digest with a g"_qs, {{"iconSHA256", std::string(63, 'b') + "g"}}, badDigest)
          << skipped(u"minSystemVersion 14.02"_qs, {{"minSystemVersion", "14.02"}}, badVersion)
          << skipped(u"minSystemVersion as a number"_qs, {{"minSystemVersion", 14}}, badVersion)
          << skipped(u"released as 1"_qs, {{"released", 1}}, noFlag)
          << skipped(u"no released flag"_qs, {{"released", absent}}, noFlag)
          << skipped(u"bad id before an empty name"_qs, {{"id", "Beta"}, {"name", ""}}, badId)
          << skipped(u"empty name before a bad iconURL"_qs, {{"name", ""}, {"iconURL", "http://example.com/x"}}, u"missing name"_qs)
          << skipped(u"bad appcastURL before a bad digest"_qs,
                     {{"appcastURL", "ftp://example.com/x"}, {"iconSHA256", "x"}, {"released", "no"}}, offOrigin("appcastURL"))
          << skipped(u"bad iconURL before a bad digest"_qs, {{"iconURL", "http://example.com/x"}, {"iconSHA256", "x"}}, offOrigin("iconURL"));
    return cases;
}

} // namespace vantry::test
