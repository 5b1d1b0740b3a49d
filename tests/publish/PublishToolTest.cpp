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

test::ToolRun publish(const QStringList &arguments) { return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments); }

QString latin1(const QByteArray &bytes) { return QString::fromLatin1(bytes); }

QString text(const Json &value) { return QString::fromStdString(value.get<std::string>()); }

// The report as the catalog fixtures write an outcome.
QString describe(const Json &report)
{
    const auto integer = [&report](const char *key) { return report.value(key, std::int64_t(0)); };
    if (!report.at("accepted").get<bool>())
        return test::refusal(text(report.at("error")), text(report.value("field", Json(""))), integer("version"), integer("found"),
                             integer("highWaterMark"));
    QStringList games, skipped;
    for (const Json &game : report.at("games"))
        games << text(game.at("id")) + (game.at("released").get<bool>() ? QString() : u" (announced)"_qs);
    for (const Json &entry : report.at("skippedEntries"))
        skipped << (entry.at("id").is_null() ? u"-"_qs : text(entry.at("id"))) + u" ("_qs + text(entry.at("reason")) + u')';
    return test::acceptance(integer("catalogVersion"), integer("minimumLauncherBuild"), games, skipped);
}

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

    void checkCatalogAgreesWithTheLauncher_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<QString>("expected");
        for (const auto &c : test::catalogCases())
            QTest::newRow(c.name.toUtf8().constData()) << c.document << qint64(c.highWaterMark) << c.expected;
    }

    void checkCatalogAgreesWithTheLauncher()
    {
        QFETCH(QByteArray, document);
        QFETCH(qint64, mark);
        QFETCH(QString, expected);
        const auto run = publish({u"check-catalog"_qs, write(u"catalog.json"_qs, document), u"--signature"_qs,
                                  signatureFile(u"catalog.json.sig"_qs, document, m_key.privateKeyPem), u"--key"_qs,
                                  latin1(m_key.publicKey.toBase64()), u"--high-water"_qs, QString::number(mark), u"--json"_qs});
        const Json report = Json::parse(run.out.toStdString());
        QCOMPARE(run.status, report.at("accepted").get<bool>() ? 0 : 1);
        QCOMPARE(describe(report), expected);
    }

    void gamesAreReportedInFull()
    {
        const QByteArray entry = test::validEntryJson(u"swirlo"_qs);
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": [)" + entry + "]}";
        const auto run = publish({u"check-catalog"_qs, write(u"full.json"_qs, doc), u"--json"_qs});
        QCOMPARE(run.status, 0);
        Json expected = Json::parse(entry.toStdString());
        expected.erase("somethingNew");
        QCOMPARE(Json::parse(run.out.toStdString()).at("games").at(0).dump(), expected.dump());
    }

    void theSignatureIsChecked()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 2, "games": []})";
        const QString catalog = write(u"signed.json"_qs, doc);
        const auto check = [&](const QByteArray &privateKey, const QString &key = {}) {
            QStringList arguments{u"check-catalog"_qs, catalog, u"--signature"_qs, signatureFile(u"catalog.sig"_qs, doc, privateKey)};
            if (!key.isEmpty())
                arguments << u"--key"_qs << key;
            const auto run = publish(arguments << u"--json"_qs);
            return std::pair(run.status, QString::fromStdString(Json::parse(run.out.toStdString()).value("error", "")));
        };
        const QString key = latin1(m_key.publicKey.toBase64());
        QCOMPARE(check(m_key.privateKeyPem, key), std::pair(0, QString()));
        QCOMPARE(check(Crypto::generateEd25519KeyPair()->privateKeyPem, key), std::pair(1, u"signatureMismatch"_qs));

        // Without --key, the build's release key.
        const QString keys = QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/");
        if (FileSystem::readFile(keys + u"release.pub"_qs)->trimmed() != BuildConfig::releasePublicKey)
            QSKIP("this build trusts a release key other than the development key");
        QCOMPARE(check(*FileSystem::readFile(keys + u"release.key"_qs)).first, 0);
        QCOMPARE(check(m_key.privateKeyPem).first, 1);
    }

    void mkimagePutsTheBundleAtTheTop()
    {
        const QString bundle = m_home.scratch(u"Swirlo.app"_qs);
        QVERIFY(FileSystem::makeDirectories(bundle + u"/Contents/MacOS"_qs));
        QVERIFY(FileSystem::writeFileAtomically(bundle + u"/Contents/MacOS/swirlo"_qs, "game", 0755));
        const QString image = m_home.scratch(u"swirlo-1.0.dmg"_qs);
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, image}).status, 0);
        QProcess list;
        list.start(u"unsquashfs"_qs, {u"-l"_qs, u"-d"_qs, u""_qs, image});
        QVERIFY(list.waitForFinished(30000));
        const QString listing = QString::fromUtf8(list.readAllStandardOutput());
        QVERIFY2(listing.contains(u"/Swirlo.app/Contents/MacOS/swirlo"_qs), qPrintable(listing));
        QCOMPARE(publish({u"mkimage"_qs, bundle, u"--out"_qs, m_home.scratch(u"swirlo.zip"_qs)}).status, 2);
    }

    void readableReportAndUsage()
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

        const auto unreadable = publish({u"check-catalog"_qs, m_home.scratch(u"absent.json"_qs), u"--json"_qs});
        QCOMPARE(unreadable.status, 2);
        QVERIFY(unreadable.out.isEmpty() && !unreadable.err.isEmpty());
        QCOMPARE(publish({u"check-catalog"_qs, catalog, u"--high-water"_qs, u"six"_qs}).status, 2);
        QCOMPARE(publish({}).status, 2);
        QCOMPARE(publish({u"frobnicate"_qs}).status, 2);
    }
};

QTEST_GUILESS_MAIN(PublishToolTest)
#include "PublishToolTest.moc"
