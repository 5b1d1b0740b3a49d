#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <signing/PrivateKeys.h>
#include <vantry/BuildConfig.h>

#include <support/CatalogFixtures.h>

#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Kind = Catalog::DecodeError::Kind;
using Json = nlohmann::ordered_json;

namespace {

const std::string host = BuildConfig::catalogHost;

// The outcome as text. A refusal: "invalidJSON", "notJSONObject", "missingField <field>",
// "unsupportedSchemaVersion <version>" or "replay <found> below <mark>". A catalog: "version
// <catalogVersion>, build <minimumLauncherBuild>: <id>, <id> (announced)", followed by
// "; skipped: <id or -> (<reason>), ..." when entries were skipped.
QString describe(const Expected<Catalog, Catalog::DecodeError> &decoded)
{
    if (!decoded) {
        const auto &e = decoded.error();
        switch (e.kind) {
        case Kind::unsupportedSchemaVersion:
            return u"unsupportedSchemaVersion %1"_qs.arg(e.version);
        case Kind::missingField:
            return u"missingField "_qs + e.field;
        case Kind::replay:
            return u"replay %1 below %2"_qs.arg(e.found).arg(e.highWaterMark);
        case Kind::notJSONObject:
            return u"notJSONObject"_qs;
        case Kind::invalidJSON:
            return u"invalidJSON"_qs;
        }
    }
    QStringList games, skipped;
    for (const auto &entry : decoded->games)
        games << entry.id + (entry.released ? QString() : u" (announced)"_qs);
    for (const auto &entry : decoded->skippedEntries)
        skipped << entry.id.value_or(u"-"_qs) + u" ("_qs + entry.reason + u')';
    return u"version %1, build %2: "_qs.arg(decoded->catalogVersion).arg(decoded->minimumLauncherBuild)
        + games.join(u", "_qs) + (skipped.isEmpty() ? QString() : u"; skipped: "_qs + skipped.join(u", "_qs));
}

Json validEntry(const char *id)
{
    return Json::parse(test::validEntryJson(QString::fromLatin1(id)).constData());
}

// In an edit, a key set to this is removed from the entry.
const Json absent(Json::value_t::discarded);

Json edited(const char *id, const Json &edit)
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

void outcome(const QString &name, const QByteArray &doc, const QString &expected,
             std::int64_t mark = 0)
{
    QTest::newRow(name.toUtf8().constData()) << doc << qint64(mark) << expected;
}

// One good entry beside the entry "beta" changed by `edit`, which is skipped for `reason`.
void skipped(const QString &name, const Json &edit, const QString &reason)
{
    const Json bad = edited("beta", edit);
    const QString id = bad.contains("id") && bad["id"].is_string() ? QString::fromStdString(bad["id"].get<std::string>()) : u"-"_qs;
    outcome(name, document(Json::array({validEntry("alpha"), bad})),
            u"version 3, build 1: alpha; skipped: %1 (%2)"_qs.arg(id, reason));
}

} // namespace

class CatalogDecodeTest : public QObject
{
    Q_OBJECT

    Crypto::Ed25519KeyPair m_key;

    Expected<Catalog, Catalog::DecodeError> decodeSigned(const QByteArray &bytes, std::int64_t mark)
    {
        const auto signature = Crypto::ed25519Sign(m_key.privateKeyPem, bytes);
        const auto verified = Ed25519Verifier::verify(bytes, QString::fromLatin1(signature->toBase64()),
                                                      QString::fromLatin1(m_key.publicKey.toBase64()));
        if (!verified)
            qFatal("fixture did not verify");
        return Catalog::decode(*verified, mark);
    }

private Q_SLOTS:
    void initTestCase() { m_key = *Crypto::generateEd25519KeyPair(); }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<QString>("expected");
        const QString badId = u"missing or malformed id"_qs;
        const QString badDigest = u"iconSHA256 is not 64 lowercase hex characters"_qs;
        const QString badVersion = u"missing or malformed minSystemVersion"_qs;
        const auto offOrigin = [](const char *key) { return QString::fromLatin1(key) + u" missing, malformed, or off-origin"_qs; };
        const Json alpha = validEntry("alpha");
        // The document as a whole: the first check that fails names the error.
        outcome(u"not JSON"_qs, R"({"schemaVersion": 1,)", u"invalidJSON"_qs);
        outcome(u"a bare number"_qs, "7", u"invalidJSON"_qs);
        outcome(u"a top-level array"_qs, R"([{"schemaVersion": 1}])", u"notJSONObject"_qs);
        outcome(u"schemaVersion 1.0"_qs, R"({"schemaVersion": 1.0, "catalogVersion": 3, "games": []})", u"missingField schemaVersion"_qs);
        outcome(u"schemaVersion 0"_qs, R"({"schemaVersion": 0, "catalogVersion": 3, "games": []})", u"unsupportedSchemaVersion 0"_qs);
        outcome(u"schemaVersion 2 before a bad catalogVersion"_qs, R"({"schemaVersion": 2, "catalogVersion": 0})",
                u"unsupportedSchemaVersion 2"_qs);
        outcome(u"catalogVersion 0"_qs, R"({"schemaVersion": 1, "catalogVersion": 0, "games": []})", u"missingField catalogVersion"_qs);
        outcome(u"catalogVersion 5.0"_qs, R"({"schemaVersion": 1, "catalogVersion": 5.0, "games": []})", u"missingField catalogVersion"_qs);
        outcome(u"catalogVersion beyond 64 bits"_qs, R"({"schemaVersion": 1, "catalogVersion": 18446744073709551615, "games": []})",
                u"missingField catalogVersion"_qs);
        outcome(u"catalogVersion below the mark, before missing games"_qs, R"({"schemaVersion": 1, "catalogVersion": 41})",
                u"replay 41 below 42"_qs, 42);
        outcome(u"catalogVersion equal to the mark"_qs, document(Json::array({alpha}), 42), u"version 42, build 1: alpha"_qs, 42);
        outcome(u"catalogVersion beyond a double's precision"_qs, R"({"schemaVersion": 1, "catalogVersion": 9007199254740993, "games": []})",
                u"version 9007199254740993, build 1: "_qs);
        outcome(u"games as an object"_qs, R"({"schemaVersion": 1, "catalogVersion": 3, "games": {}})", u"missingField games"_qs);
        outcome(u"no games"_qs, R"({"schemaVersion": 1, "catalogVersion": 3})", u"missingField games"_qs);
        // minimumLauncherBuild: any 64-bit integer as it stands, anything else the default.
        for (const auto &[text, build] : {std::pair{"7.5", "1"}, std::pair{"-4", "-4"}, std::pair{"9223372036854775807", "9223372036854775807"}})
            outcome(u"minimumLauncherBuild "_qs + QString::fromLatin1(text),
                    R"({"schemaVersion": 1, "catalogVersion": 3, "games": [], "minimumLauncherBuild": )" + QByteArray(text) + "}",
                    u"version 3, build %1: "_qs.arg(QString::fromLatin1(build)));

        // Entries: a bad one is skipped with the reason of its first failing check, the others stay.
        outcome(u"announced and released"_qs, document(Json::array({alpha, edited("beta", {{"released", false}})})),
                u"version 3, build 1: alpha, beta (announced)"_qs);
        outcome(u"an element that is not an object"_qs, document(Json::array({"alpha", alpha})),
                u"version 3, build 1: alpha; skipped: - (entry is not a JSON object)"_qs);
        outcome(u"duplicate ids"_qs, document(Json::array({validEntry("swirlo"), validEntry("swirlo"), edited("swirlo", {{"id", "Swirlo"}})})),
                u"version 3, build 1: swirlo; skipped: swirlo (duplicate id), Swirlo (missing or malformed id)"_qs);
        outcome(u"a skipped entry does not claim its id"_qs,
                document(Json::array({edited("swirlo", {{"name", ""}}), validEntry("swirlo")})),
                u"version 3, build 1: swirlo; skipped: swirlo (missing name)"_qs);
        outcome(u"id of digits and dashes, texts as they stand"_qs, document(Json::array({edited("9-lives-", {{"name", "  "}})})),
                u"version 3, build 1: 9-lives-"_qs);
        skipped(u"id as a number"_qs, {{"id", 7}}, badId);
        for (const char *id : {"", "Swirlo", "swir.lo", "swirl\xc3\xb6", "beta\n"})
            skipped(u"id '%1'"_qs.arg(QString::fromUtf8(id)), {{"id", id}}, badId);
        skipped(u"empty name"_qs, {{"name", ""}}, u"missing name"_qs);
        skipped(u"tagline as a number"_qs, {{"tagline", 5}}, u"missing tagline"_qs);
        skipped(u"no description"_qs, {{"description", absent}}, u"missing description"_qs);
        skipped(u"empty bundleId"_qs, {{"bundleId", ""}}, u"missing bundleId"_qs);
        // URLs are judged as written: a parser would fold the scheme to lower case.
        skipped(u"appcastURL with an upper-case scheme"_qs, {{"appcastURL", "HTTPS://" + host + "/x"}}, offOrigin("appcastURL"));
        skipped(u"iconURL as a number"_qs, {{"iconURL", 7}}, offOrigin("iconURL"));
        skipped(u"digest of 63"_qs, {{"iconSHA256", std::string(63, 'a')}}, badDigest);
        skipped(u"digest with an upper-case A"_qs, {{"iconSHA256", std::string(63, 'b') + "A"}}, badDigest);
        skipped(u"minSystemVersion 14.02"_qs, {{"minSystemVersion", "14.02"}}, badVersion);
        skipped(u"minSystemVersion as a number"_qs, {{"minSystemVersion", 14}}, badVersion);
        skipped(u"no released flag"_qs, {{"released", absent}}, u"missing released flag"_qs);
        skipped(u"bad id before an empty name"_qs, {{"id", "Beta"}, {"name", ""}}, badId);
        skipped(u"empty name before a bad iconURL"_qs, {{"name", ""}, {"iconURL", "http://example.com/x"}}, u"missing name"_qs);
        skipped(u"bad appcastURL before a bad digest"_qs,
                {{"appcastURL", "ftp://example.com/x"}, {"iconSHA256", "x"}, {"released", "no"}}, offOrigin("appcastURL"));
        skipped(u"bad iconURL before a bad digest"_qs, {{"iconURL", "http://example.com/x"}, {"iconSHA256", "x"}}, offOrigin("iconURL"));
    }

    void documents()
    {
        QFETCH(QByteArray, document);
        QFETCH(qint64, mark);
        QFETCH(QString, expected);
        QCOMPARE(describe(decodeSigned(document, mark)), expected);
    }

    void anAcceptedEntryKeepsItsFieldsAsWritten()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 9, "games": [)" + test::validEntryJson(u"swirlo"_qs) + "]}";
        const auto catalog = decodeSigned(doc, 0);
        QVERIFY(catalog && catalog->games.size() == 1);
        const Catalog::Entry expected{u"swirlo"_qs, u"Game swirlo"_qs, u"A tagline"_qs, u"A longer description."_qs,
                                      u"com.example.swirlo"_qs, QUrl(test::onOrigin(u"/updates/swirlo.xml"_qs)), u"2.31"_qs,
                                      QUrl(test::onOrigin(u"/icons/swirlo.png"_qs)), QString(64, u'a'), true};
        QVERIFY(catalog->games.first() == expected);
        // The mark only decides refusal: at or below the version, it changes nothing.
        QVERIFY(*decodeSigned(doc, 9) == *catalog);
    }
};

QTEST_GUILESS_MAIN(CatalogDecodeTest)
#include "CatalogDecodeTest.moc"
