#include <catalog/AppcastParser.h>
#include <platform/FileSystem.h>

#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QProcess>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::ordered_json;

namespace {

using Run = test::ToolRun;

Run publish(const QStringList &arguments) { return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments); }

const QByteArray sparkleNamespaces = "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"";

QByteArray feed(const QByteArray &items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><rss version=\"2.0\" " + sparkleNamespaces
        + "><channel><title>Releases</title>" + items + "</channel></rss>";
}

QByteArray item(const QByteArray &version, const QByteArray &more = {},
                const QByteArray &url = "https://catalog.vantry.test/releases/game.dmg")
{
    return "<item>" + more + "<sparkle:version>" + version + "</sparkle:version><enclosure url=\"" + url
        + "\" length=\"4096\" sparkle:edSignature=\"c2ln\"/></item>";
}

Json expectedText(const std::optional<QString> &text) { return text ? Json(text->toStdString()) : Json(nullptr); }

// What the report must say for `item`, written out field by field from the parser's own result.
Json expectedReport(const std::optional<AppcastItem> &item)
{
    if (!item)
        return Json {{"item", nullptr}};
    Json fields;
    fields["title"] = expectedText(item->title);
    fields["pubDate"] = item->pubDate ? Json(item->pubDate->toString(u"yyyy-MM-dd'T'HH:mm:ss'Z'"_qs).toStdString()) : Json(nullptr);
    fields["version"] = item->version;
    fields["shortVersionString"] = expectedText(item->shortVersionString);
    fields["minimumSystemVersion"] = expectedText(item->minimumSystemVersion);
    fields["enclosureURL"] = item->enclosureURLText.toStdString();
    fields["length"] = item->length;
    fields["edSignature"] = item->edSignature.toStdString();
    return Json {{"item", fields}};
}

} // namespace

class AppcastCheckTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_home.scratch(name);
        if (!FileSystem::writeFileAtomically(path, bytes))
            qFatal("could not write a fixture");
        return path;
    }

private Q_SLOTS:
    void reportAgreesWithTheLauncher_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("found"); // keeps each fixture honest about what it exercises
        QTest::newRow("every field") << feed(item("15",
                                                  "<title> Game 1.5 </title><pubDate>Tue, 05 Mar 2024 12:30:00 +0230</pubDate>"
                                                  "<sparkle:shortVersionString>1.5</sparkle:shortVersionString>"
                                                  "<sparkle:minimumSystemVersion>2.31</sparkle:minimumSystemVersion>"))
                                     << true;
        QTest::newRow("optional fields absent") << feed(item("3")) << true;
        QTest::newRow("the newest of three")
            << feed(item("4", "<title>a</title>") + item("9", "<title>b</title>") + item("9", "<title>c</title>")) << true;
        QTest::newRow("URL as written") << feed(item("2", {}, "HTTPS://Catalog.Vantry.Test/a%20b/Game.DMG")) << true;
        QTest::newRow("non-ASCII title") << feed(item("2", "<title>Caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xae</title>")) << true;
        QTest::newRow("unreadable date") << feed(item("2", "<pubDate>March 5th</pubDate>")) << true;
        QTest::newRow("no valid item") << feed(item("0")) << false;
        QTest::newRow("broken off") << feed(item("2")).chopped(10) << false;
        QTest::newRow("not XML") << QByteArray("\x00\xff garbage", 10) << false;
    }

    void reportAgreesWithTheLauncher()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, found);
        const auto item = AppcastParser::newestItem(document);
        QCOMPARE(item.has_value(), found);
        const Run run = publish({u"check-appcast"_qs, write(u"feed.xml"_qs, document), u"--json"_qs});
        QCOMPARE(run.status, item ? 0 : 1);
        QVERIFY(run.err.isEmpty());
        const Json report = Json::parse(run.out.toStdString());
        // Ordered JSON compares key order too.
        QCOMPARE(QString::fromStdString(report.dump()), QString::fromStdString(expectedReport(item).dump()));
    }

    void readableReportAndUsage()
    {
        const QString good = write(u"good.xml"_qs, feed(item("15", "<title>Game 1.5</title>")));
        const Run found = publish({u"check-appcast"_qs, good});
        QCOMPARE(found.status, 0);
        const QString text = QString::fromUtf8(found.out);
        QVERIFY2(text.contains(u"Game 1.5"_qs) && text.contains(u"15"_qs), qPrintable(text));
        QVERIFY(text.contains(u"https://catalog.vantry.test/releases/game.dmg"_qs));

        const Run none = publish({u"check-appcast"_qs, write(u"none.xml"_qs, feed({}))});
        QCOMPARE(none.status, 1);
        QVERIFY(!none.out.isEmpty());

        const Run unreadable = publish({u"check-appcast"_qs, m_home.scratch(u"absent.xml"_qs), u"--json"_qs});
        QCOMPARE(unreadable.status, 2);
        QVERIFY(unreadable.out.isEmpty());
        QVERIFY(!unreadable.err.isEmpty());
        QCOMPARE(publish({u"check-appcast"_qs, m_home.home()}).status, 2); // a folder
        QCOMPARE(publish({u"check-appcast"_qs}).status, 2);
        QCOMPARE(publish({u"check-appcast"_qs, good, good}).status, 2);
        QCOMPARE(publish({u"check-appcast"_qs, good, u"--json"_qs, u"--json"_qs}).status, 2);
        QCOMPARE(publish({u"check-appcast"_qs, good, u"--verbose"_qs}).status, 2);
        QVERIFY(publish({u"help"_qs}).out.contains("check-appcast FEED [--json]"));
    }
};

QTEST_GUILESS_MAIN(AppcastCheckTest)
#include "AppcastCheckTest.moc"
