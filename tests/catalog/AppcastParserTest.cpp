#include <catalog/AppcastParser.h>

#include <QTest>

using namespace vantry;

using OptionalDate = std::optional<QDateTime>;

namespace {

const QByteArray sparkleUri = "http://www.andymatuschak.org/xml-namespaces/sparkle";
const QByteArray imageURL = "https://catalog.vantry.test/releases/swirlo-15.dmg";

// A whole feed. The channel has a title of its own, which must never reach an item.
QByteArray feed(const QByteArray &items, const QByteArray &namespaces = "xmlns:sparkle=\"" + sparkleUri + '"')
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" " + namespaces
        + ">\n<channel>\n<title>Swirlo releases</title>\n" + items + "</channel>\n</rss>\n";
}

QByteArray enclosure(const QByteArray &url = imageURL, const QByteArray &length = "1024",
                     const QByteArray &signature = "sparkle:edSignature=\"c2lnbmF0dXJl\"")
{
    return "<enclosure url=\"" + url + "\" length=\"" + length + "\" type=\"application/octet-stream\" " + signature + "/>";
}

QByteArray version(const QByteArray &text) { return "<sparkle:version>" + text + "</sparkle:version>"; }

QByteArray item(const QByteArray &body) { return "<item>" + body + "</item>\n"; }

QByteArray titled(const QByteArray &title, const QByteArray &versionText)
{
    return item("<title>" + title + "</title>" + version(versionText) + enclosure());
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC); }

} // namespace

class AppcastParserTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What a whole document yields: the chosen item's build number and title, or nothing.
    void newestItem_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("expected");
        const auto doc = [](const char *name, const QByteArray &document, const char *expected) {
            QTest::newRow(name) << document << QString::fromUtf8(expected);
        };
        // One item, judged on its own.
        const auto one = [&doc](const char *name, const QByteArray &body, const char *expected) { doc(name, feed(item(body)), expected); };
        const auto withVersion = [](const char *text) { return version(text) + enclosure(); };
        const auto withURL = [](const char *url) { return version("7") + enclosure(url); };
        const auto withLength = [](const char *length) { return version("7") + enclosure(imageURL, length); };
        const auto withSignature = [](const char *attribute) { return version("7") + enclosure(imageURL, "1024", attribute); };

        one("version +007 with blanks around it", withVersion("\n  +007\t "), "7");
        one("version by character reference", withVersion("&#55;"), "7");
        one("largest version", withVersion("9223372036854775807"), "9223372036854775807");
        one("version 0", withVersion("0"), "none");
        one("version 7a", withVersion("7a"), "none");
        one("version sign alone", withVersion("+"), "none");
        one("version beyond 64 bits", withVersion("9223372036854775808"), "none");
        one("version in CDATA", withVersion("<![CDATA[7]]>"), "none");
        one("no version", enclosure(), "none");
        one("version in no namespace", "<version>7</version>" + enclosure(), "none");
        one("version in the Sparkle namespace by default", "<version xmlns=\"" + sparkleUri + "\">7</version>" + enclosure(), "7");
        one("later version overwrites", version("3") + version("7") + enclosure(), "7");
        one("later empty version keeps the earlier", version("7") + version(" ") + enclosure(), "7");
        one("later bad version replaces a good one", version("7") + version("x") + enclosure(), "none");

        one("extension DMG", withURL("https://catalog.vantry.test/Swirlo.DMG"), "7");
        one("dmg only in the query", withURL("https://catalog.vantry.test/swirlo.zip?f=a.dmg"), "none");
        one("percent-encoded dot", withURL("https://catalog.vantry.test/swirlo%2Edmg"), "7");
        one("name that is only the extension", withURL("https://catalog.vantry.test/.dmg"), "none");
        // The origin of the enclosure is the planner's to judge, not the reader's.
        one("another origin", withURL("http://elsewhere.example:8080/swirlo.dmg"), "7");
        one("url that does not parse", withURL("https://catalog.vantry.test/swirlo 15.dmg"), "none");
        one("no url", version("7") + "<enclosure length=\"1024\" sparkle:edSignature=\"c2ln\"/>", "none");
        one("length +12", withLength("+12"), "7");
        one("length 0", withLength("0"), "none");
        one("length with blanks", withLength(" 12 "), "none");
        one("no length", version("7") + "<enclosure url=\"" + imageURL + "\" sparkle:edSignature=\"c2ln\"/>", "none");
        one("plain edSignature", withSignature("edSignature=\"c2ln\""), "7");
        one("no signature", withSignature(""), "none");
        one("empty signature", withSignature("sparkle:edSignature=\"\""), "none");
        one("empty Sparkle signature hides the plain one", withSignature("sparkle:edSignature=\"\" edSignature=\"c2ln\""), "none");
        one("signature in another namespace", withSignature("xmlns:o=\"http://example.com/other\" o:edSignature=\"c2ln\""), "none");
        one("a second good enclosure wins", version("7") + enclosure("https://catalog.vantry.test/swirlo.zip") + enclosure(), "7");
        one("the last good enclosure wins", version("7") + enclosure() + enclosure("https://catalog.vantry.test/swirlo.zip"), "none");
        one("a bad later enclosure leaves the good one",
            version("7") + enclosure() + enclosure(imageURL, "") + enclosure(imageURL, "1024", "") + enclosure("https://catalog.vantry.test/a b.zip"),
            "7");

        // Texts are gathered from the characters of the element itself.
        one("only the text around CDATA", "<title>Swirlo <![CDATA[beta]]>1.5</title>" + withVersion("4"), "4 Swirlo 1.5");
        one("title in another namespace counts", "<dc:title xmlns:dc=\"http://purl.org/dc/elements/1.1/\">a</dc:title>" + withVersion("4"), "4 a");
        one("title in the Sparkle namespace does not", "<sparkle:title>a</sparkle:title>" + withVersion("4"), "4");
        one("text before an element stays out of it", "stray<title>a</title>" + withVersion("4"), "4 a");
        one("element nested in a title ends the gathering", "<title>a<b>x</b>c</title>" + withVersion("4"), "4 c");

        // Among valid items the highest build number, the first of equals; nothing on any XML error.
        doc("12 then 15", feed(titled("a", "12") + titled("b", "15")), "15 b");
        doc("15, 12, 15: the first", feed(titled("a", "15") + titled("b", "12") + titled("c", "15")), "15 a");
        doc("a higher invalid item does not count", feed(titled("a", "12") + item(version("99") + enclosure(imageURL, "0"))), "12 a");
        doc("an unfinished item is discarded by the next",
            feed("<item><title>a</title>" + version("99") + enclosure() + titled("b", "3") + "</item>"), "3 b");
        doc("an enclosure outside any item is ignored", feed(enclosure() + item(version("3"))), "none");
        const QByteArray complete = feed(titled("a", "5") + titled("b", "6"));
        doc("broken off after complete items", complete.left(complete.indexOf("</channel>")), "none");
        doc("undeclared entity after a complete item", feed(titled("a", "5") + "<item><title>&nbsp;</title></item>"), "none");
        doc("another prefix bound to the Sparkle URI",
            feed("<item><sp:version>8</sp:version>" + enclosure(imageURL, "1", "sp:edSignature=\"c2ln\"") + "</item>",
                 "xmlns:sp=\"" + sparkleUri + '"'),
            "8");
        doc("the sparkle prefix bound to another URI", feed(titled("a", "5"), "xmlns:sparkle=\"" + sparkleUri + "/\""), "none");
        doc("items in a default namespace",
            feed(titled("a", "5"), "xmlns=\"http://backend.userland.com/rss2\" xmlns:sparkle=\"" + sparkleUri + '"'), "none");
        doc("an item needs no channel", "<item xmlns:sparkle=\"" + sparkleUri + "\">" + version("5") + enclosure() + "</item>", "5");
        doc("Latin-1 document",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss xmlns:sparkle=\"" + sparkleUri + "\"><item><title>Caf\xe9</title>"
                + version("5") + enclosure() + "</item></rss>",
            "5 Caf\xc3\xa9");
    }

    void newestItem()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, expected);
        const auto found = AppcastParser::newestItem(document);
        QCOMPARE(found ? QString::number(found->version) + (found->title ? u' ' + *found->title : QString()) : u"none"_qs, expected);
    }

    void anItemKeepsWhatItSays()
    {
        const QByteArray body = "<title>\n   Swirlo 1.5 </title>"
                                "<pubDate> Tue, 05 Mar 2024 10:00:00 +0100\n</pubDate>"
                                + version(" 15 ")
                                + "<sparkle:shortVersionString>\t1.5 </sparkle:shortVersionString>"
                                  "<sparkle:minimumSystemVersion> 2.31 </sparkle:minimumSystemVersion>"
                                  "<enclosure url=\"HTTPS://Catalog.Vantry.Test/releases/swirlo-15.dmg\" length=\"+48000\""
                                  " sparkle:edSignature=\" c2ln \"/>";
        const auto found = AppcastParser::newestItem(feed(item(body)));
        QVERIFY(found);
        // An attribute is taken as written; element texts are trimmed.
        const AppcastItem expected{u"Swirlo 1.5"_qs, utc(2024, 3, 5, 9, 0, 0), 15, u"1.5"_qs, u"2.31"_qs,
                                   QUrl(u"https://catalog.vantry.test/releases/swirlo-15.dmg"_qs),
                                   u"HTTPS://Catalog.Vantry.Test/releases/swirlo-15.dmg"_qs, 48000, u" c2ln "_qs};
        QCOMPARE(*found, expected);
        // A later date that cannot be read takes the earlier one's place.
        QCOMPARE(AppcastParser::newestItem(feed(item(body + "<pubDate>yesterday</pubDate>")))->pubDate, std::nullopt);
    }

    void rfc822Date_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<OptionalDate>("expected");
        const OptionalDate none;
        QTest::newRow("UTC") << u"Tue, 05 Mar 2024 10:00:00 +0000"_qs << OptionalDate(utc(2024, 3, 5, 10, 0, 0));
        QTest::newRow("GMT") << u"Tue, 05 Mar 2024 10:00:00 GMT"_qs << OptionalDate(utc(2024, 3, 5, 10, 0, 0));
        QTest::newRow("east, half hour") << u"Mon, 01 Jan 2024 05:29:59 +0530"_qs << OptionalDate(utc(2023, 12, 31, 23, 59, 59));
        QTest::newRow("first day") << u"Mon, 01 Jan 0001 00:59:00 +0059"_qs << OptionalDate(utc(1, 1, 1, 0, 0, 0));
        QTest::newRow("before the first day in UTC") << u"Mon, 01 Jan 0001 00:58:00 +0059"_qs << none;
        QTest::newRow("last day") << u"Fri, 31 Dec 9999 22:00:00 -0159"_qs << OptionalDate(utc(9999, 12, 31, 23, 59, 0));
        QTest::newRow("after the last day in UTC") << u"Fri, 31 Dec 9999 23:00:00 -0100"_qs << none;
        QTest::newRow("weekday not on the date") << u"Mon, 05 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("lower-case names") << u"tue, 05 mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("signed day") << u"Tue, +5 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("zone EST") << u"Tue, 05 Mar 2024 10:00:00 EST"_qs << none;
        QTest::newRow("zone minutes 60") << u"Tue, 05 Mar 2024 10:00:00 +0060"_qs << none;
        QTest::newRow("30 February") << u"Fri, 30 Feb 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("hour 24") << u"Tue, 05 Mar 2024 24:00:00 +0000"_qs << none;
        QTest::newRow("empty") << QString() << none;
    }

    void rfc822Date()
    {
        QFETCH(QString, text);
        QFETCH(OptionalDate, expected);
        const auto date = AppcastParser::rfc822Date(text);
        QCOMPARE(date, expected);
        if (date)
            QCOMPARE(date->timeSpec(), Qt::UTC);
    }
};

QTEST_GUILESS_MAIN(AppcastParserTest)
#include "AppcastParserTest.moc"
