#include <platform/FileSystem.h>

#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::ordered_json;

Q_DECLARE_METATYPE(Json)

namespace {

test::ToolRun publish(const QStringList &arguments) { return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments); }

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
    void jsonReport_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("status");
        QTest::addColumn<Json>("report");
        // The URL as written, a title beyond ASCII, the date in UTC, the fields in a fixed order.
        QTest::newRow("every field")
            << feed(item("15",
                         "<title> Caf\xc3\xa9 \xf0\x9f\x8e\xae 1.5 </title><pubDate>Tue, 05 Mar 2024 12:30:00 +0230</pubDate>"
                         "<sparkle:shortVersionString>1.5</sparkle:shortVersionString>"
                         "<sparkle:minimumSystemVersion>2.31</sparkle:minimumSystemVersion>",
                         "HTTPS://Catalog.Vantry.Test/a%20b/Game.DMG"))
            << 0
            << Json{{"item", {{"title", "Caf\xc3\xa9 \xf0\x9f\x8e\xae 1.5"}, {"pubDate", "2024-03-05T10:00:00Z"}, {"version", 15},
                              {"shortVersionString", "1.5"}, {"minimumSystemVersion", "2.31"},
                              {"enclosureURL", "HTTPS://Catalog.Vantry.Test/a%20b/Game.DMG"}, {"length", 4096}, {"edSignature", "c2ln"}}}};
        QTest::newRow("optional fields absent")
            << feed(item("3", "<pubDate>March 5th</pubDate>")) << 0
            << Json{{"item", {{"title", nullptr}, {"pubDate", nullptr}, {"version", 3}, {"shortVersionString", nullptr},
                              {"minimumSystemVersion", nullptr}, {"enclosureURL", "https://catalog.vantry.test/releases/game.dmg"},
                              {"length", 4096}, {"edSignature", "c2ln"}}}};
        QTest::newRow("no valid item") << feed(item("0")) << 1 << Json{{"item", nullptr}};
    }

    void jsonReport()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, status);
        QFETCH(Json, report);
        const auto run = publish({u"check-appcast"_qs, write(u"feed.xml"_qs, document), u"--json"_qs});
        QCOMPARE(run.status, status);
        QVERIFY(run.err.isEmpty());
        // Ordered JSON compares key order too.
        QCOMPARE(QString::fromStdString(Json::parse(run.out.toStdString()).dump()), QString::fromStdString(report.dump()));
    }

    void readableReportAndUsage()
    {
        const QString good = write(u"good.xml"_qs, feed(item("15", "<title>Game 1.5</title>")));
        const auto found = publish({u"check-appcast"_qs, good});
        QCOMPARE(found.status, 0);
        QVERIFY2(found.out.contains("Game 1.5") && found.out.contains("https://catalog.vantry.test/releases/game.dmg"),
                 found.out.constData());
        QCOMPARE(publish({u"check-appcast"_qs, write(u"none.xml"_qs, feed({}))}).status, 1);

        const auto unreadable = publish({u"check-appcast"_qs, m_home.scratch(u"absent.xml"_qs), u"--json"_qs});
        QCOMPARE(unreadable.status, 2);
        QVERIFY(unreadable.out.isEmpty() && !unreadable.err.isEmpty());
        QCOMPARE(publish({u"check-appcast"_qs, good, good}).status, 2);
    }
};

QTEST_GUILESS_MAIN(AppcastCheckTest)
#include "AppcastCheckTest.moc"
