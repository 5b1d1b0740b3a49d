#include <catalog/AppcastParser.h>
#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <platform/FileSystem.h>
#include <vantry/BuildConfig.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <nlohmann/json.hpp>

#include <functional>

using namespace vantry;
using test::BundleBuilder;
using Json = nlohmann::json;

// release, catalog set and check-site: a site the commands build is one the launcher takes, and
// each kind of fault in a site is named.
namespace {

const QString devKeys = QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/");
const QString releaseKey = devKeys + u"release.key"_qs;

test::ToolRun publish(const QStringList &arguments, const QByteArray &input = {})
{
    return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments, input);
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(u' ');
}

QByteArray read(const QString &path)
{
    return FileSystem::readFile(path).value_or(QByteArray());
}

QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        files.insert(path, QFileInfo(path).isDir() ? QByteArray() : read(path));
    }
    return files;
}

using Fault = std::function<bool(const QString &site)>;

// Faults planted in a copy of a good site, each at a path inside it.
Fault edit(const char *path, std::function<void(QByteArray &)> change)
{
    return [=](const QString &site) {
        QByteArray bytes = read(site + u'/' + QLatin1String(path));
        change(bytes);
        return test::put(site + u'/' + QLatin1String(path), bytes);
    };
}
Fault insertAfter(const char *path, const char *marker, const char *text)
{
    return edit(path, [=](QByteArray &b) { b.insert(b.indexOf(marker) + qstrlen(marker), text); });
}
Fault replace(const char *path, const char *from, const char *to)
{
    return edit(path, [=](QByteArray &b) { b.replace(from, to); });
}
Fault flipByte(const char *path)
{
    return edit(path, [](QByteArray &b) { b[100] = char(b[100] ^ 1); });
}
Fault removeFile(const char *path)
{
    return [=](const QString &site) { return QFile::remove(site + u'/' + QLatin1String(path)); };
}
Fault linkOut(const char *path) // the file moved out of the site, a link left in its place
{
    return [=](const QString &site) {
        const QString inside = site + u'/' + QLatin1String(path), outside = site + u".out"_qs;
        return QFile::rename(inside, outside) && QFile::link(outside, inside);
    };
}

// The launcher's view of a site's catalog: verified with the build's key, decoded.
std::optional<Catalog> launcherCatalog(const QString &site)
{
    auto verified = Ed25519Verifier::verify(
        read(site + u"/catalog.json"_qs), QString::fromLatin1(read(site + u"/catalog.json.sig"_qs)),
        QString::fromLatin1(BuildConfig::releasePublicKey));
    auto decoded = verified ? Catalog::decode(*verified, 0) : unexpected(Catalog::DecodeError());
    return decoded ? std::optional(*decoded) : std::nullopt;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class SiteCommandsTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    QString m_site; // game builds 1 and 2 released, its entry set twice
    int m_copies = 0;

    QString copyOfSite()
    {
        const QString copy = m_home.scratch(QStringLiteral("site-%1").arg(++m_copies));
        return test::runTool(u"cp"_qs, {u"-a"_qs, m_site, copy}).status == 0 ? copy : QString();
    }

    QString bundle(const QString &build,
                   BundleBuilder::Signing signing = BundleBuilder::Signing::notarized,
                   const QString &identifier = u"com.vantry.test.game"_qs)
    {
        return BundleBuilder()
            .setBundleVersion(build)
            .setShortVersion(u"1."_qs + build)
            .setReadme("build " + build.toUtf8())
            .setBundleIdentifier(identifier)
            .setSigning(signing)
            .build(m_home.scratch(QStringLiteral("bundle-%1").arg(++m_copies)))
            .value_or(QString());
    }

private Q_SLOTS:
    void aSiteMadeByTheCommandsIsOneTheLauncherTakes()
    {
        m_site = m_home.scratch(u"site"_qs);
        const QStringList release {u"release"_qs, u"--site"_qs, m_site, u"--id"_qs, u"game"_qs};
        const QStringList set {u"catalog"_qs, u"set"_qs, m_site, u"--id"_qs, u"game"_qs};
        const QString png = QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/tumbit.png");
        QCOMPARE(publish(release + QStringList {bundle(u"1"_qs), u"--key"_qs, releaseKey}).status,
                 0);
        QCOMPARE(publish(set + QStringList {u"--key"_qs, releaseKey, u"--icon"_qs, png} +
                         words("--name Game --tagline T --description D --bundle-id "
                               "com.vantry.test.game --minimum-system 2.31"))
                     .status,
                 0);
        QCOMPARE(launcherCatalog(m_site)->catalogVersion, 1);
        // The key from standard input, for a release and for the catalog; the version goes up by 1.
        const QString notes = m_home.scratch(u"notes.txt"_qs);
        QVERIFY(test::put(notes, "Faster & <safer>\n"));
        const QByteArray key = read(releaseKey);
        QCOMPARE(publish(release + QStringList {bundle(u"2"_qs), u"--notes"_qs, notes} +
                             words("--key - --minimum-system 2.36"),
                         key)
                     .status,
                 0);
        QCOMPARE(publish(set + words("--key - --tagline New"), key).status, 0);

        const auto catalog = launcherCatalog(m_site);
        QVERIFY(catalog && catalog->skippedEntries.isEmpty() && catalog->games.size() == 1);
        QCOMPARE(catalog->catalogVersion, 2);
        QCOMPARE(catalog->games[0].tagline, u"New"_qs);
        QCOMPARE(catalog->games[0].iconSHA256, sha256Hex(read(png)));
        const QByteArray feed = read(m_site + u"/updates/game.xml"_qs);
        QVERIFY(feed.contains("<description>Faster &amp; &lt;safer&gt;</description>"));
        const auto items = AppcastParser::validItems(feed);
        QCOMPARE(items.size(), 2);
        QCOMPARE(AppcastParser::newestItem(feed), items[0]);
        for (const auto &[item, build] : {std::pair {items[0], 2}, {items[1], 1}}) {
            const QString image = m_site + QStringLiteral("/releases/game/game-%1.dmg").arg(build);
            QCOMPARE(item.enclosureURLText, QStringLiteral("https://%1/releases/game/game-%2.dmg")
                                                .arg(QLatin1String(BuildConfig::catalogHost))
                                                .arg(build));
            QCOMPARE(item.shortVersionString, QStringLiteral("1.%1").arg(build));
            QCOMPARE(item.length, QFileInfo(image).size());
            QVERIFY(Ed25519Verifier::verifyFile(
                image, item.edSignature, QString::fromLatin1(BuildConfig::releasePublicKey)));
        }
        QCOMPARE(items[0].minimumSystemVersion, u"2.36"_qs);
        QCOMPARE(items[1].minimumSystemVersion, u"2.31"_qs); // the bundle's own
        const auto checked = publish({u"check-site"_qs, m_site, u"--json"_qs});
        QCOMPARE(checked.status, 0);
        QVERIFY2(Json::parse(checked.out.toStdString()) == Json::parse(R"({"problems": []})"),
                 checked.out.constData());
    }

    void releaseAddsToAFeedWrittenByHand()
    {
        // Another prefix for the Sparkle namespace, a comment that looks like an item, one line.
        const QByteArray head = "<?xml version=\"1.0\"?><!-- <item> --><rss version=\"2.0\" "
                                "xmlns:sp=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                                "<channel><title>Game</title>";
        const QByteArray items =
            "<item><sp:version>2</sp:version><enclosure url=\"https://x/a.dmg\" "
            "length=\"9\" sp:edSignature=\"c2ln\"/></item></channel></rss>\n";
        const QString site = copyOfSite();
        QVERIFY(test::put(site + u"/updates/game.xml"_qs, head + items));
        QCOMPARE(publish({u"release"_qs, bundle(u"3"_qs), u"--site"_qs, site, u"--id"_qs,
                          u"game"_qs, u"--key"_qs, releaseKey})
                     .status,
                 0);
        const QByteArray feed = read(site + u"/updates/game.xml"_qs);
        QVERIFY2(feed.startsWith(head + "<item xmlns:sparkle=") && feed.endsWith(items), feed);
        QCOMPARE(AppcastParser::validItems(feed).size(), 2);
        QCOMPARE(AppcastParser::newestItem(feed)->version, 3);
    }

    void checkSiteNamesEachFault_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *name, Fault fault, const char *title, const char *problem) {
            QTest::newRow(name) << fault << QString::fromLatin1(title)
                                << QString::fromLatin1(problem);
        };
        const QString host = QString::fromLatin1(BuildConfig::catalogHost);
        // clang-format off
        row("tampered image", flipByte("releases/game/game-2.dmg"), "game",
            "build 2: the edSignature of image releases/game/game-2.dmg does not verify under the release key");
        row("wrong length", insertAfter("updates/game.xml", " length=\"", "1"), "game",
            "build 2: image releases/game/game-2.dmg is ");
        row("bad edSignature", insertAfter("updates/game.xml", "edSignature=\"", "A"), "game",
            "build 2: the edSignature of image releases/game/game-2.dmg is not the Base64 text");
        row("image missing", removeFile("releases/game/game-1.dmg"), "game", "build 1: image releases/game/game-1.dmg is missing");
        row("icon digest", edit("icons/game.png", [](QByteArray &b) { b += '\0'; }), "game", "icon icons/game.png has SHA-256 ");
        row("icon out of the site", linkOut("icons/game.png"), "game", "icon icons/game.png leads out of the site");
        row("feed missing", removeFile("updates/game.xml"), "game", "feed updates/game.xml is missing");
        row("catalog signature", replace("catalog.json", "\"New\"", "\"Newer\""), nullptr,
            "catalog.json.sig: the signature does not match the catalog's bytes under this key");
        row("enclosure off-origin", replace("updates/game.xml", "/releases/game/game-1.dmg", ":443/releases/game/game-1.dmg"), "game",
            qPrintable(u"build 1: enclosure https://%1:443/releases/game/game-1.dmg is off-origin or names no file of the site"_qs.arg(host)));
        // clang-format on
    }

    void checkSiteNamesEachFault()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, title);
        QFETCH(QString, problem);
        const QString site = copyOfSite();
        QVERIFY(!site.isEmpty() && fault(site));
        const auto run = publish({u"check-site"_qs, site, u"--json"_qs});
        const auto problems = Json::parse(run.out.toStdString()).at("problems");
        QCOMPARE(run.status, 1);
        QVERIFY2(problems.size() == 1 &&
                     QString::fromStdString(problems[0]["problem"]).startsWith(problem),
                 run.out.constData());
        QVERIFY(problems[0]["title"] ==
                (title.isEmpty() ? Json(nullptr) : Json(title.toStdString())));
        QVERIFY(publish({u"check-site"_qs, site})
                    .out.startsWith((title.isEmpty() ? u"catalog"_qs : title).toUtf8() + ": " +
                                    problem.toUtf8()));
    }

    void refusalsLeaveTheSiteAsItWas_data()
    {
        QTest::addColumn<QStringList>(
            "arguments"); // SITE: a copy of the site; KIND:BUILD: a bundle made for the row
        QTest::addColumn<int>("status");
        const QStringList key {u"--key"_qs, releaseKey};
        const auto release = [](const char *name, const char *bundle, QStringList more,
                                int status) {
            QTest::newRow(name) << (QStringList {u"release"_qs, QString::fromLatin1(bundle),
                                                 u"--site"_qs, u"SITE"_qs, u"--id"_qs, u"game"_qs} +
                                    more)
                                << status;
        };
        release("unsigned", "unsigned:3", key, 1);
        release("not notarized", "signed:3", key, 1);
        release("same build", "notarized:2", key, 1);
        release("older build", "notarized:1", key, 1);
        release("same build, its image gone", "again:2", key, 1);
        release("another game", "other:3", key, 1);
        release("another key", "notarized:3", {u"--key"_qs, devKeys + u"developer.key"_qs}, 1);
        release("key in the site", "notarized:3", {u"--key"_qs, u"SITE/release.key"_qs}, 1);
        release("bad minimum system", "notarized:3",
                key + QStringList {u"--minimum-system"_qs, u"14.02"_qs}, 2);
        const auto set = [&](const char *name, const char *id, QStringList more, int status) {
            QTest::newRow(name) << (QStringList {u"catalog"_qs, u"set"_qs, u"SITE"_qs, u"--id"_qs,
                                                 QString::fromLatin1(id)} +
                                    key + more)
                                << status;
        };
        set("skipped: minimum system", "game", {u"--minimum-system"_qs, u"14.02"_qs}, 1);
        set("skipped: empty name", "game", {u"--name"_qs, u""_qs}, 1);
        set("skipped: off-origin", "game", {u"--host"_qs, u"elsewhere.test"_qs}, 1);
        set("icon not a PNG", "game", {u"--icon"_qs, releaseKey}, 1);
        set("released maybe", "game", {u"--released"_qs, u"maybe"_qs}, 2);
        set("new entry needs more", "new", {u"--name"_qs, u"New"_qs}, 2);
        set("malformed id", "Game", {}, 2);
    }

    void refusalsLeaveTheSiteAsItWas()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        const QString site = copyOfSite();
        QVERIFY(!site.isEmpty() && QFile::copy(releaseKey, site + u"/release.key"_qs));
        arguments.replaceInStrings(u"SITE"_qs, site);
        if (const QStringList kind = arguments[1].split(u':'); kind.size() == 2) {
            const auto signing = kind[0] == u"unsigned" ? BundleBuilder::Signing::none
                                 : kind[0] == u"signed" ? BundleBuilder::Signing::signedOnly
                                                        : BundleBuilder::Signing::notarized;
            arguments[1] = bundle(kind[1], signing,
                                  kind[0] == u"other" ? u"com.vantry.test.other"_qs
                                                      : u"com.vantry.test.game"_qs);
            QVERIFY(kind[0] != u"again" || QFile::remove(site + u"/releases/game/game-2.dmg"_qs));
        }
        const auto before = snapshot(site);
        const auto run = publish(arguments);
        QVERIFY2(run.status == status && !run.err.isEmpty(), run.err.constData());
        QCOMPARE(snapshot(site), before);
    }
};

QTEST_GUILESS_MAIN(SiteCommandsTest)
#include "SiteCommandsTest.moc"
