#include <catalog/Ed25519Verifier.h>
#include <signing/PrivateKeys.h>
#include <platform/FileSystem.h>
#include <vantry/BuildConfig.h>

#include <support/CatalogFixtures.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QProcess>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::json;

namespace {

using Run = test::ToolRun;

Run publish(const QStringList &arguments) { return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments); }

QString latin1(const QByteArray &bytes) { return QString::fromLatin1(bytes); }

} // namespace

class PublishToolTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    Crypto::Ed25519KeyPair m_key;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_home.scratch(name);
        if (!FileSystem::writeFileAtomically(path, bytes))
            qFatal("could not write a fixture");
        return path;
    }

    QString signatureFile(const QString &name, const QByteArray &bytes, const QByteArray &privateKey)
    {
        return write(name, Crypto::ed25519Sign(privateKey, bytes)->toBase64() + '\n');
    }

private Q_SLOTS:
    void initTestCase() { m_key = *Crypto::generateEd25519KeyPair(); }

    void keygenWritesAPairThatSigns()
    {
        const QString prefix = m_home.scratch(u"maker"_qs);
        const Run made = publish({u"keygen"_qs, u"--out"_qs, prefix});
        QCOMPARE(made.status, 0);
        QCOMPARE(*FileSystem::permissions(prefix + u".key"_qs), mode_t(0600));
        const QByteArray publicText = *FileSystem::readFile(prefix + u".pub"_qs);
        QCOMPARE(publicText.size(), 45);
        QVERIFY(publicText.endsWith('\n'));

        // Never over an existing key.
        const QByteArray privateKey = *FileSystem::readFile(prefix + u".key"_qs);
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 2);
        QCOMPARE(*FileSystem::readFile(prefix + u".key"_qs), privateKey);

        const QByteArray content = "release image bytes\n";
        const QString file = write(u"image.dmg"_qs, content);
        const Run signed_ = publish({u"sign"_qs, u"--key"_qs, prefix + u".key"_qs, file});
        QCOMPARE(signed_.status, 0);
        QVERIFY(signed_.out.endsWith('\n'));
        QVERIFY(Ed25519Verifier::verify(content, latin1(signed_.out), latin1(publicText.trimmed())));
        QCOMPARE(Ed25519Verifier::verify(content + 'x', latin1(signed_.out), latin1(publicText.trimmed())).error(),
                 Ed25519Verifier::VerificationError::signatureMismatch);

        QCOMPARE(publish({u"sign"_qs, u"--key"_qs, file, file}).status, 2);           // not a key
        QCOMPARE(publish({u"sign"_qs, u"--key"_qs, prefix + u".key"_qs}).status, 2); // no file
        QCOMPARE(publish({u"sign"_qs, u"--key"_qs, prefix + u".key"_qs, m_home.scratch(u"absent"_qs)}).status, 2);
        QCOMPARE(publish({u"keygen"_qs}).status, 2);
    }

    void checkCatalogAgreesWithTheLauncher_data()
    {
        QTest::addColumn<int>("index");
        const auto cases = test::catalogCases();
        for (int i = 0; i < cases.size(); ++i)
            QTest::newRow(cases[i].name.toUtf8().constData()) << i;
    }

    void checkCatalogAgreesWithTheLauncher()
    {
        QFETCH(int, index);
        const test::CatalogCase c = test::catalogCases().at(index);
        const QString catalog = write(u"catalog.json"_qs, c.document);
        const QString signature = signatureFile(u"catalog.json.sig"_qs, c.document, m_key.privateKeyPem);

        const Run run = publish({u"check-catalog"_qs, catalog, u"--signature"_qs, signature, u"--key"_qs,
                                 latin1(m_key.publicKey.toBase64()), u"--high-water"_qs,
                                 QString::number(c.highWaterMark), u"--json"_qs});
        QCOMPARE(run.status, c.error ? 1 : 0);
        const Json report = Json::parse(run.out.toStdString());
        QCOMPARE(report.at("accepted").get<bool>(), !c.error);

        if (c.error) {
            QCOMPARE(QString::fromStdString(report.at("error").get<std::string>()), *c.error);
            if (*c.error == u"missingField"_qs)
                QCOMPARE(QString::fromStdString(report.at("field").get<std::string>()), c.field);
            if (*c.error == u"unsupportedSchemaVersion"_qs)
                QCOMPARE(report.at("version").get<std::int64_t>(), c.version);
            if (*c.error == u"replay"_qs) {
                QCOMPARE(report.at("found").get<std::int64_t>(), c.found);
                QCOMPARE(report.at("highWaterMark").get<std::int64_t>(), c.mark);
            }
            return;
        }
        QCOMPARE(report.at("schemaVersion").get<std::int64_t>(), std::int64_t(1));
        QCOMPARE(report.at("catalogVersion").get<std::int64_t>(), c.catalogVersion);
        QCOMPARE(report.at("minimumLauncherBuild").get<std::int64_t>(), c.minimumLauncherBuild);
        QStringList ids;
        for (const Json &game : report.at("games")) {
            ids << QString::fromStdString(game.at("id").get<std::string>());
            QCOMPARE(game.at("released").get<bool>(), !c.announcedIds.contains(ids.last()));
        }
        QCOMPARE(ids, c.gameIds);
        const Json &skipped = report.at("skippedEntries");
        QCOMPARE(qsizetype(skipped.size()), c.skipped.size());
        for (qsizetype i = 0; i < c.skipped.size(); ++i) {
            const Json &entry = skipped.at(size_t(i));
            QCOMPARE(entry.at("id").is_null(), !c.skipped[i].id.has_value());
            if (c.skipped[i].id)
                QCOMPARE(QString::fromStdString(entry.at("id").get<std::string>()), *c.skipped[i].id);
            QCOMPARE(QString::fromStdString(entry.at("reason").get<std::string>()), c.skipped[i].reason);
        }
    }

    void gamesAreReportedInFull()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": [)"
            + test::validEntryJson(u"swirlo"_qs) + "]}";
        const Run run = publish({u"check-catalog"_qs, write(u"full.json"_qs, doc), u"--json"_qs});
        QCOMPARE(run.status, 0);
        const Json game = Json::parse(run.out.toStdString()).at("games").at(0);
        QStringList keys;
        for (const auto &[key, value] : game.items())
            keys << QString::fromStdString(key);
        keys.sort();
        QCOMPARE(keys, QStringList({u"appcastURL"_qs, u"bundleId"_qs, u"description"_qs, u"iconSHA256"_qs, u"iconURL"_qs,
                                    u"id"_qs, u"minSystemVersion"_qs, u"name"_qs, u"released"_qs, u"tagline"_qs}));
        QCOMPARE(QString::fromStdString(game.at("appcastURL").get<std::string>()), test::onOrigin(u"/updates/swirlo.xml"_qs));
        QCOMPARE(game.at("released").get<bool>(), true);
        QCOMPARE(QString::fromStdString(game.at("iconSHA256").get<std::string>()), QString(64, u'a'));
        QCOMPARE(QString::fromStdString(game.at("minSystemVersion").get<std::string>()), u"2.31"_qs);
    }

    void signatureRefusals()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": []})";
        const QString catalog = write(u"sig.json"_qs, doc);
        const QString key = latin1(m_key.publicKey.toBase64());
        const QByteArray raw = *Crypto::ed25519Sign(m_key.privateKeyPem, doc);
        const auto check = [&](const QString &signature, const QString &withKey) {
            const Run run = publish({u"check-catalog"_qs, catalog, u"--signature"_qs, signature, u"--key"_qs, withKey, u"--json"_qs});
            return std::pair(run.status, QString::fromStdString(Json::parse(run.out.toStdString()).value("error", "")));
        };

        const QString good = signatureFile(u"good.sig"_qs, doc, m_key.privateKeyPem);
        QCOMPARE(check(good, key), std::pair(0, QString()));
        QCOMPARE(check(good, key + u"\n"_qs), std::pair(1, u"malformedPublicKey"_qs));
        QCOMPARE(check(write(u"short.sig"_qs, raw.left(63).toBase64()), key), std::pair(1, u"malformedSignature"_qs));
        QCOMPARE(check(write(u"long.sig"_qs, (raw + 'x').toBase64()), key), std::pair(1, u"malformedSignature"_qs));
        const auto other = Crypto::generateEd25519KeyPair();
        QCOMPARE(check(signatureFile(u"other.sig"_qs, doc, other->privateKeyPem), key), std::pair(1, u"signatureMismatch"_qs));
    }

    void theDefaultKeyIsTheBuildsReleaseKey()
    {
        const QString keys = QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/");
        if (FileSystem::readFile(keys + u"release.pub"_qs)->trimmed() != BuildConfig::releasePublicKey)
            QSKIP("this build trusts a release key other than the development key");
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": []})";
        const QString catalog = write(u"release.json"_qs, doc);
        const QByteArray devKey = *FileSystem::readFile(keys + u"release.key"_qs);
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--signature"_qs, signatureFile(u"release.sig"_qs, doc, devKey)}).status, 0);
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--signature"_qs, signatureFile(u"mine.sig"_qs, doc, m_key.privateKeyPem)}).status, 1);
    }

    void mkimagePutsTheBundleAtTheTop()
    {
        const QString bundle = m_home.scratch(u"Swirlo.app"_qs);
        QVERIFY(FileSystem::makeDirectories(bundle + u"/Contents/MacOS"_qs));
        QVERIFY(FileSystem::writeFileAtomically(bundle + u"/Contents/MacOS/swirlo"_qs, "game", 0755));
        const QString image = m_home.scratch(u"swirlo-1.0.dmg"_qs);
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, image}).status, 0);
        QCOMPARE(FileSystem::readFile(image)->left(4), QByteArray("hsqs"));
        QProcess list;
        list.start(u"unsquashfs"_qs, {u"-l"_qs, u"-d"_qs, u""_qs, image});
        QVERIFY(list.waitForFinished(30000));
        const QString listing = QString::fromUtf8(list.readAllStandardOutput());
        QVERIFY2(listing.contains(u"/Swirlo.app/Contents/MacOS/swirlo"_qs), qPrintable(listing));

        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, image}).status, 2); // never over an image
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, m_home.scratch(u"swirlo.zip"_qs)}).status, 2);
        QCOMPARE(publish({u"mkimage"_qs, m_home.scratch(QString()), u"--out"_qs, m_home.scratch(u"x.dmg"_qs)}).status, 2);
    }

    void readableReportAndUsage()
    {
        QByteArray announced = test::validEntryJson(u"gamma"_qs);
        announced.replace("\"released\":true", "\"released\":false");
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 5, "games": [)" + test::validEntryJson(u"alpha"_qs)
            + "," + announced + R"(, {"id": "Beta"}, 7]})";
        const QString catalog = write(u"report.json"_qs, doc);
        const Run accepted = publish({u"check-catalog"_qs, catalog});
        QCOMPARE(accepted.status, 0);
        const QString text = QString::fromUtf8(accepted.out);
        QVERIFY2(text.contains(u"Catalog accepted"_qs), qPrintable(text));
        QVERIFY(text.contains(u"alpha \u2014 Game alpha\n"_qs));
        QVERIFY(text.contains(u"gamma \u2014 Game gamma (announced)"_qs));
        QVERIFY(text.contains(u"\"Beta\": missing or malformed id"_qs));
        QVERIFY(text.contains(u"(no id): entry is not a JSON object"_qs));

        const Run replayed = publish({u"check-catalog"_qs, catalog, u"--high-water"_qs, u"6"_qs});
        QCOMPARE(replayed.status, 1);
        QVERIFY(QString::fromUtf8(replayed.out).contains(u"Catalog refused"_qs));

        const Run unreadable = publish({u"check-catalog"_qs, m_home.scratch(u"absent.json"_qs), u"--json"_qs});
        QCOMPARE(unreadable.status, 2);
        QVERIFY(unreadable.out.isEmpty());
        QVERIFY(!unreadable.err.isEmpty());
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--high-water"_qs, u"six"_qs}).status, 2);
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--signature"_qs, m_home.scratch(u"absent.sig"_qs)}).status, 2);
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--verbose"_qs}).status, 2);
        QCOMPARE(publish({u"check-catalog"_qs}).status, 2);
        QCOMPARE(publish({}).status, 2);
        QCOMPARE(publish({u"frobnicate"_qs}).status, 2);
    }
};

QTEST_GUILESS_MAIN(PublishToolTest)
#include "PublishToolTest.moc"
