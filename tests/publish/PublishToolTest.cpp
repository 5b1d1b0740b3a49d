#include <catalog/AllowlistFetch.h>
#include <catalog/Ed25519Verifier.h>
#include <platform/FileSystem.h>
#include <signing/PrivateKeys.h>
#include <vantry/BuildConfig.h>

#include <support/CatalogFixtures.h>
#include <support/TestHome.h>
#include <support/TestServer.h>
#include <support/ToolRun.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// The maker's tool end to end: each command once through, its report read back. The rules it
// applies are the launcher's own, tested with the catalog and the appcast reader.
namespace {

test::ToolRun publish(const QStringList &arguments) { return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments); }

QString latin1(const QByteArray &bytes) { return QString::fromLatin1(bytes); }

QByteArray feed(const QByteArray &items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>Releases</title>"
        + items + "</channel></rss>";
}

QByteArray item(const QByteArray &version, const QByteArray &more = {},
                const QByteArray &url = "https://catalog.vantry.test/releases/game.dmg")
{
    return "<item>" + more + "<sparkle:version>" + version + "</sparkle:version><enclosure url=\"" + url
        + "\" length=\"4096\" sparkle:edSignature=\"c2ln\"/></item>";
}

} // namespace

class PublishToolTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    Crypto::Ed25519KeyPair m_key;

    // A file in the scratch folder; its path, or none when it could not be written.
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_home.scratch(name);
        return test::put(path, bytes) ? path : QString();
    }

private Q_SLOTS:
    void initTestCase() { m_key = *Crypto::generateEd25519KeyPair(); }

    void keygenWritesAPairThatSigns()
    {
        const QString prefix = m_home.scratch(u"maker"_qs);
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 0);
        QCOMPARE(*FileSystem::permissions(prefix + u".key"_qs), mode_t(0600));
        // Never over an existing key.
        const QByteArray privateKey = *FileSystem::readFile(prefix + u".key"_qs);
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 2);
        QCOMPARE(*FileSystem::readFile(prefix + u".key"_qs), privateKey);

        const QByteArray content = "release image bytes\n";
        const QString file = write(u"image.dmg"_qs, content);
        const auto signed_ = publish({u"sign"_qs, u"--key"_qs, prefix + u".key"_qs, file});
        QCOMPARE(signed_.status, 0);
        QVERIFY(Ed25519Verifier::verify(content, latin1(signed_.out), latin1(FileSystem::readFile(prefix + u".pub"_qs)->trimmed())));
        QCOMPARE(publish({u"sign"_qs, u"--key"_qs, file, file}).status, 2); // not a key
    }

    // Each kind of outcome reaches the report with what it carries; which document gives which
    // outcome is the launcher's decoder's to say.
    void checkCatalogReportsEachOutcome_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("signedWithTheKeyGiven");
        const auto row = [](const char *name, const char *document, const char *report,
                            bool theKeyGiven = true) {
            QTest::newRow(name) << QByteArray(document) << QByteArray(report) << theKeyGiven;
        };
        row("accepted",
            R"({"schemaVersion": 1, "catalogVersion": 7, "minimumLauncherBuild": -2, "games": [7]})",
            R"({"accepted": true, "schemaVersion": 1, "catalogVersion": 7,)"
                R"("minimumLauncherBuild": -2, "games": [],)"
                R"("skippedEntries": [{"id": null, "reason": "entry is not a JSON object"}]})");
        row("replayed", R"({"schemaVersion": 1, "catalogVersion": 5})",
            R"({"accepted": false, "error": "replay", "found": 5, "highWaterMark": 6})");
        row("a field missing", R"({"schemaVersion": 1, "catalogVersion": 6})",
            R"({"accepted": false, "error": "missingField", "field": "games"})");
        row("another schema", R"({"schemaVersion": 2})",
            R"({"accepted": false, "error": "unsupportedSchemaVersion", "version": 2})");
        row("not an object", "[]", R"({"accepted": false, "error": "notJSONObject"})");
        row("not JSON", "{", R"({"accepted": false, "error": "invalidJSON"})");
        row("another key's", "{}", R"({"accepted": false, "error": "signatureMismatch"})", false);
    }

    void checkCatalogReportsEachOutcome()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, report);
        QFETCH(bool, signedWithTheKeyGiven);
        const auto key = signedWithTheKeyGiven ? m_key : *Crypto::generateEd25519KeyPair();
        const auto signature = Crypto::ed25519Sign(key.privateKeyPem, document)->toBase64();
        const auto run = publish({u"check-catalog"_qs, write(u"catalog.json"_qs, document),
                                  u"--signature"_qs, write(u"catalog.json.sig"_qs, signature),
                                  u"--key"_qs, latin1(m_key.publicKey.toBase64()),
                                  u"--high-water"_qs, u"6"_qs, u"--json"_qs});
        Json reported = Json::parse(run.out.toStdString());
        QCOMPARE(run.status, reported.at("accepted").get<bool>() ? 0 : 1);
        // The reader's own words for a document that is not JSON.
        QVERIFY(!reported.contains("message") || !reported["message"].get<std::string>().empty());
        reported.erase("message");
        QCOMPARE(reported.dump(), Json::parse(report.toStdString()).dump());
    }

    void gamesAreReportedInFullUnderTheReleaseKey()
    {
        const QByteArray entry = test::validEntryJson(u"swirlo"_qs);
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": [)" + entry + "]}";
        const QString catalog = write(u"full.json"_qs, doc);
        const auto run = publish({u"check-catalog"_qs, catalog, u"--json"_qs});
        QCOMPARE(run.status, 0);
        Json expected = Json::parse(entry.toStdString());
        expected.erase("somethingNew");
        QCOMPARE(Json::parse(run.out.toStdString()).at("games").at(0).dump(), expected.dump());

        // Without --key, the signature is checked with the build's release key.
        const QString keys = QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/");
        if (FileSystem::readFile(keys + u"release.pub"_qs)->trimmed() != BuildConfig::releasePublicKey)
            QSKIP("this build trusts a release key other than the development key");
        const QByteArray release = *FileSystem::readFile(keys + u"release.key"_qs);
        for (const QByteArray &key : {release, m_key.privateKeyPem}) {
            const QString sig = write(u"full.sig"_qs, Crypto::ed25519Sign(key, doc)->toBase64());
            QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--signature"_qs, sig}).status,
                     int(key == m_key.privateKeyPem));
        }
    }

    void readableReportsAndUsage()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 5, "games": [)" + test::validEntryJson(u"alpha"_qs) + R"(, 7]})";
        const QString catalog = write(u"report.json"_qs, doc);
        const auto accepted = publish({u"check-catalog"_qs, catalog});
        QCOMPARE(accepted.status, 0);
        const QString report = QString::fromUtf8(accepted.out);
        QVERIFY2(report.contains(u"Catalog accepted"_qs) && report.contains(u"alpha \u2014 Game alpha\n"_qs)
                     && report.contains(u"(no id): entry is not a JSON object"_qs),
                 qPrintable(report));
        const auto replayed = publish({u"check-catalog"_qs, catalog, u"--high-water"_qs, u"6"_qs});
        QCOMPARE(replayed.status, 1);
        QVERIFY(replayed.out.contains("Catalog refused"));

        // What cannot be read is a usage error, told on the error stream only.
        const auto unreadable = [&](const QString &command) {
            const auto run = publish({command, m_home.scratch(u"absent"_qs), u"--json"_qs});
            return run.status == 2 && run.out.isEmpty() && !run.err.isEmpty();
        };
        QVERIFY(unreadable(u"check-catalog"_qs) && unreadable(u"check-appcast"_qs));
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--high-water"_qs, u"six"_qs}).status, 2);
        QCOMPARE(publish({}).status, 2);
        QCOMPARE(publish({u"frobnicate"_qs}).status, 2);

        const QString good = write(u"good.xml"_qs, feed(item("15", "<title>Game 1.5</title>")));
        const auto found = publish({u"check-appcast"_qs, good});
        QCOMPARE(found.status, 0);
        QVERIFY2(found.out.contains("Game 1.5") && found.out.contains("https://catalog.vantry.test/releases/game.dmg"),
                 found.out.constData());
        QCOMPARE(publish({u"check-appcast"_qs, good, good}).status, 2);
    }

    void checkAppcastJsonReport_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("report");
        // The URL as written, a title beyond ASCII, the date in UTC, the fields in a fixed order.
        QTest::newRow("every field")
            << feed(item("15",
                         "<title> Caf\xc3\xa9 \xf0\x9f\x8e\xae 1.5 </title><pubDate>Tue, 05 Mar 2024 12:30:00 +0230</pubDate>"
                         "<sparkle:shortVersionString>1.5</sparkle:shortVersionString>"
                         "<sparkle:minimumSystemVersion>2.31</sparkle:minimumSystemVersion>",
                         "HTTPS://Catalog.Vantry.Test/a%20b/Game.DMG"))
            << 0
            << QByteArray(R"({"item": {"title": "Café 🎮 1.5", "pubDate": "2024-03-05T10:00:00Z",)"
                R"("version": 15, "shortVersionString": "1.5", "minimumSystemVersion": "2.31",)"
                R"("enclosureURL": "HTTPS://Catalog.Vantry.Test/a%20b/Game.DMG", "length": 4096,)"
                R"("edSignature": "c2ln"}})");
        QTest::newRow("optional fields absent")
            << feed(item("3", "<pubDate>March 5th</pubDate>")) << 0
            << QByteArray(R"({"item": {"title": null, "pubDate": null, "version": 3,)"
                R"("shortVersionString": null, "minimumSystemVersion": null,)"
                R"("enclosureURL": "https://catalog.vantry.test/releases/game.dmg", "length": 4096,)"
                R"("edSignature": "c2ln"}})");
        QTest::newRow("no valid item") << feed(item("0")) << 1 << QByteArray(R"({"item": null})");
    }

    void checkAppcastJsonReport()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, status);
        QFETCH(QByteArray, report);
        const auto run = publish({u"check-appcast"_qs, write(u"feed.xml"_qs, document), u"--json"_qs});
        QCOMPARE(run.status, status);
        QVERIFY(run.err.isEmpty());
        // Ordered JSON compares key order too.
        QCOMPARE(OrderedJson::parse(run.out.toStdString()).dump(),
                 OrderedJson::parse(report.toStdString()).dump());
    }


    void mkimagePutsTheBundleAtTheTop()
    {
        const QString bundle = m_home.scratch(u"Swirlo.app"_qs);
        QVERIFY(test::put(bundle + u"/Contents/MacOS/swirlo"_qs, "game", 0755));
        const QString image = m_home.scratch(u"swirlo-1.0.dmg"_qs);
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, image}).status, 0);
        const auto listing = test::runTool(u"unsquashfs"_qs, {u"-l"_qs, u"-d"_qs, u""_qs, image});
        QVERIFY2(listing.out.contains("/Swirlo.app/Contents/MacOS/swirlo"), listing.out.data());
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, m_home.scratch(u"swirlo.zip"_qs)}).status, 2);
    }

    void aServedFolderIsTheCatalogHost()
    {
        const QString folder = m_home.scratch(u"site"_qs);
        QVERIFY(test::put(folder + u"/updates/a.xml"_qs, "<rss/>"));
        QProcess tool;
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, folder});
        QVERIFY(tool.waitForStarted() && tool.waitForReadyRead(30000));
        const QString banner = QString::fromUtf8(tool.readLine());
        const auto match = QRegularExpression(u"https://127\\.0\\.0\\.1:(\\d+)/"_qs).match(banner);
        QVERIFY2(match.hasMatch(), qPrintable(banner));

        HttpTransport transport(DevelopmentOrigin{u"127.0.0.1"_qs, quint16(match.captured(1).toUInt()),
                                                  QSslCertificate::fromPath(test::TestServer::certificatePath())});
        AllowlistFetch fetch(transport);
        const auto get = [&](const QString &path) { return QCoro::waitFor(fetch.data(QUrl(test::onOrigin(path)), AllowlistFetch::appcastLimit)); };
        QCOMPARE(*get(u"/updates/a.xml"_qs), QByteArray("<rss/>"));
        QCOMPARE(std::get<FetchError>(get(u"/absent"_qs).error()), FetchError::httpStatus(404));
        tool.terminate();
        QVERIFY(tool.waitForFinished(10000));

        // The development certificate's key is public: nothing is served beyond this machine.
        QCOMPARE(publish({u"serve"_qs, folder, u"--address"_qs, u"0.0.0.0"_qs}).status, 2);
    }
};

QTEST_GUILESS_MAIN(PublishToolTest)
#include "PublishToolTest.moc"
