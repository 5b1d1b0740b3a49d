#include <catalog/AppcastParser.h>

#include <QTest>

#include <limits>

using namespace vantry;

using OptionalVersion = std::optional<std::int64_t>;
using OptionalDate = std::optional<QDateTime>;
Q_DECLARE_METATYPE(OptionalVersion)
Q_DECLARE_METATYPE(OptionalDate)
Q_DECLARE_METATYPE(std::optional<QString>)

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
    return "<enclosure url=\"" + url + "\" length=\"" + length + "\" type=\"application/octet-stream\" "
        + signature + "/>";
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
    // One item, judged on its own: the expected build number, or nothing when it is dropped.
    void itemValidity_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<OptionalVersion>("expected");
        const OptionalVersion dropped;
        const auto withVersion = [](const char *text) { return version(text) + enclosure(); };
        const auto withURL = [](const char *url) { return version("7") + enclosure(url); };
        const auto withLength = [](const char *length) { return version("7") + enclosure(imageURL, length); };
        const auto withSignature = [](const char *attribute) { return version("7") + enclosure(imageURL, "1024", attribute); };

        QTest::newRow("version 7") << withVersion("7") << OptionalVersion(7);
        QTest::newRow("version +7") << withVersion("+7") << OptionalVersion(7);
        QTest::newRow("version 007") << withVersion("007") << OptionalVersion(7);
        QTest::newRow("version with blanks and line breaks around it") << withVersion("\n  7\t ") << OptionalVersion(7);
        QTest::newRow("version by character reference") << withVersion("&#55;") << OptionalVersion(7);
        QTest::newRow("largest version") << withVersion("9223372036854775807") << OptionalVersion(std::numeric_limits<std::int64_t>::max());
        QTest::newRow("version 0") << withVersion("0") << dropped;
        QTest::newRow("version -3") << withVersion("-3") << dropped;
        QTest::newRow("version 7a") << withVersion("7a") << dropped;
        QTest::newRow("version 7.1") << withVersion("7.1") << dropped;
        QTest::newRow("version sign alone") << withVersion("+") << dropped;
        QTest::newRow("version with two signs") << withVersion("+-7") << dropped;
        QTest::newRow("version with an inner blank") << withVersion("1 2") << dropped;
        QTest::newRow("version beyond 64 bits") << withVersion("9223372036854775808") << dropped;
        QTest::newRow("version in Arabic-Indic digits") << withVersion("\xd9\xa7") << dropped;
        QTest::newRow("version only blanks") << withVersion("  ") << dropped;
        QTest::newRow("version in CDATA") << withVersion("<![CDATA[7]]>") << dropped;
        QTest::newRow("no version") << enclosure() << dropped;
        QTest::newRow("version only as an enclosure attribute")
            << enclosure(imageURL, "1024", "sparkle:edSignature=\"c2ln\" sparkle:version=\"7\"") << dropped;
        QTest::newRow("version in no namespace") << "<version>7</version>" + enclosure() << dropped;
        QTest::newRow("version in another namespace")
            << "<o:version xmlns:o=\"http://example.com/other\">7</o:version>" + enclosure() << dropped;
        QTest::newRow("version in the Sparkle namespace by default")
            << "<version xmlns=\"" + sparkleUri + "\">7</version>" + enclosure() << OptionalVersion(7);
        QTest::newRow("later version overwrites") << version("3") + version("9") + enclosure() << OptionalVersion(9);
        QTest::newRow("later empty version keeps the earlier") << version("3") + version(" ") + enclosure() << OptionalVersion(3);
        QTest::newRow("later bad version replaces a good one") << version("3") + version("x") + enclosure() << dropped;

        QTest::newRow("extension DMG") << withURL("https://catalog.vantry.test/Swirlo.DMG") << OptionalVersion(7);
        QTest::newRow("extension Dmg") << withURL("https://catalog.vantry.test/Swirlo.Dmg") << OptionalVersion(7);
        QTest::newRow("extension zip") << withURL("https://catalog.vantry.test/swirlo.zip") << dropped;
        QTest::newRow("extension pkg") << withURL("https://catalog.vantry.test/swirlo.pkg") << dropped;
        QTest::newRow("no extension") << withURL("https://catalog.vantry.test/swirlo") << dropped;
        QTest::newRow("dmg before another extension") << withURL("https://catalog.vantry.test/swirlo.dmg.zip") << dropped;
        QTest::newRow("dmg only in the query") << withURL("https://catalog.vantry.test/swirlo.zip?f=a.dmg") << dropped;
        QTest::newRow("query after the dmg") << withURL("https://catalog.vantry.test/swirlo.dmg?x=1") << OptionalVersion(7);
        QTest::newRow("percent-encoded dot") << withURL("https://catalog.vantry.test/swirlo%2Edmg") << OptionalVersion(7);
        QTest::newRow("path ends in a slash") << withURL("https://catalog.vantry.test/swirlo.dmg/") << dropped;
        QTest::newRow("name that is only the extension") << withURL("https://catalog.vantry.test/.dmg") << dropped;
        // The origin of the enclosure is the planner's to judge, not the reader's.
        QTest::newRow("another origin") << withURL("http://elsewhere.example:8080/swirlo.dmg") << OptionalVersion(7);
        QTest::newRow("relative url") << withURL("swirlo.dmg") << OptionalVersion(7);
        QTest::newRow("url that does not parse") << withURL("https://catalog.vantry.test/swirlo 15.dmg") << dropped;
        QTest::newRow("empty url") << withURL("") << dropped;
        QTest::newRow("no url")
            << version("7") + "<enclosure length=\"1024\" sparkle:edSignature=\"c2ln\"/>" << dropped;

        QTest::newRow("length +12") << withLength("+12") << OptionalVersion(7);
        QTest::newRow("length 0") << withLength("0") << dropped;
        QTest::newRow("length -5") << withLength("-5") << dropped;
        QTest::newRow("length with blanks") << withLength(" 12 ") << dropped;
        QTest::newRow("length 12.0") << withLength("12.0") << dropped;
        QTest::newRow("length beyond 64 bits") << withLength("9223372036854775808") << dropped;
        QTest::newRow("empty length") << withLength("") << dropped;
        QTest::newRow("no length")
            << version("7") + "<enclosure url=\"" + imageURL + "\" sparkle:edSignature=\"c2ln\"/>" << dropped;

        QTest::newRow("plain edSignature") << withSignature("edSignature=\"c2ln\"") << OptionalVersion(7);
        QTest::newRow("no signature") << withSignature("") << dropped;
        QTest::newRow("empty signature") << withSignature("sparkle:edSignature=\"\"") << dropped;
        QTest::newRow("empty Sparkle signature hides the plain one")
            << withSignature("sparkle:edSignature=\"\" edSignature=\"c2ln\"") << dropped;
        QTest::newRow("signature in another namespace")
            << withSignature("xmlns:o=\"http://example.com/other\" o:edSignature=\"c2ln\"") << dropped;

        QTest::newRow("a second good enclosure wins")
            << version("7") + enclosure("https://catalog.vantry.test/swirlo.zip") + enclosure() << OptionalVersion(7);
        QTest::newRow("the last good enclosure wins")
            << version("7") + enclosure() + enclosure("https://catalog.vantry.test/swirlo.zip") << dropped;
        QTest::newRow("a bad later enclosure leaves the good one")
            << version("7") + enclosure() + enclosure(imageURL, "") + enclosure(imageURL, "1024", "")
                   + enclosure("https://catalog.vantry.test/a b.zip")
            << OptionalVersion(7);
    }

    void itemValidity()
    {
        QFETCH(QByteArray, body);
        QFETCH(OptionalVersion, expected);
        const auto found = AppcastParser::newestItem(feed(item(body)));
        QCOMPARE(found.has_value(), expected.has_value());
        if (found)
            QCOMPARE(found->version, *expected);
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
        AppcastItem expected;
        expected.title = u"Swirlo 1.5"_qs;
        expected.pubDate = utc(2024, 3, 5, 9, 0, 0);
        expected.version = 15;
        expected.shortVersionString = u"1.5"_qs;
        expected.minimumSystemVersion = u"2.31"_qs;
        expected.enclosureURL = QUrl(u"https://catalog.vantry.test/releases/swirlo-15.dmg"_qs);
        expected.enclosureURLText = u"HTTPS://Catalog.Vantry.Test/releases/swirlo-15.dmg"_qs;
        expected.length = 48000;
        expected.edSignature = u" c2ln "_qs; // an attribute is taken as written
        QCOMPARE(*found, expected);
        QCOMPARE(found->pubDate->timeSpec(), Qt::UTC);
    }

    void optionalFields_data()
    {
        QTest::addColumn<QByteArray>("elements");
        QTest::addColumn<std::optional<QString>>("title");
        QTest::addColumn<std::optional<QString>>("shortVersion");
        QTest::addColumn<OptionalDate>("pubDate");
        const std::optional<QString> none;
        const OptionalDate noDate;
        const auto text = [](const char16_t *t) { return std::optional<QString>(QString::fromUtf16(t)); };

        QTest::newRow("none: the channel's title stays out") << QByteArray() << none << none << noDate;
        QTest::newRow("title in CDATA is not gathered") << QByteArray("<title><![CDATA[Swirlo]]></title>") << none << none << noDate;
        QTest::newRow("only the text around CDATA")
            << QByteArray("<title>Swirlo <![CDATA[beta]]>1.5</title>") << text(u"Swirlo 1.5") << none << noDate;
        QTest::newRow("later title overwrites") << QByteArray("<title>a</title><title>b</title>") << text(u"b") << none << noDate;
        QTest::newRow("blank later title keeps the earlier") << QByteArray("<title>a</title><title> </title>") << text(u"a") << none << noDate;
        QTest::newRow("title in another namespace counts")
            << QByteArray("<dc:title xmlns:dc=\"http://purl.org/dc/elements/1.1/\">a</dc:title>") << text(u"a") << none << noDate;
        QTest::newRow("title in the Sparkle namespace does not")
            << QByteArray("<sparkle:title>a</sparkle:title>") << none << none << noDate;
        QTest::newRow("short version in no namespace does not count")
            << QByteArray("<shortVersionString>1.5</shortVersionString>") << none << none << noDate;
        QTest::newRow("non-ASCII title, entities resolved")
            << QByteArray("<title>Caf\xc3\xa9 &amp; Co</title>") << text(u"Caf\u00e9 & Co") << none << noDate;
        QTest::newRow("pubDate in GMT") << QByteArray("<pubDate>Fri, 29 Nov 2024 23:30:00 GMT</pubDate>")
                                         << none << none << OptionalDate(utc(2024, 11, 29, 23, 30, 0));
        QTest::newRow("pubDate west of Greenwich crosses midnight")
            << QByteArray("<pubDate>Thu, 29 Feb 2024 20:15:09 -0800</pubDate>") << none << none << OptionalDate(utc(2024, 3, 1, 4, 15, 9));
        QTest::newRow("pubDate as ISO 8601 keeps the item") << QByteArray("<pubDate>2024-03-05T10:00:00Z</pubDate>") << none << none << noDate;
        QTest::newRow("unreadable later pubDate clears the earlier")
            << QByteArray("<pubDate>Tue, 05 Mar 2024 10:00:00 +0000</pubDate><pubDate>yesterday</pubDate>") << none << none << noDate;
        QTest::newRow("text before an element stays out of it")
            << QByteArray("stray<title>a</title>") << text(u"a") << none << noDate;
        QTest::newRow("element nested in a title ends the gathering")
            << QByteArray("<title>a<b>x</b>c</title><sparkle:shortVersionString>1<i/>.5</sparkle:shortVersionString>")
            << text(u"c") << text(u".5") << noDate;
    }

    void optionalFields()
    {
        QFETCH(QByteArray, elements);
        QFETCH(std::optional<QString>, title);
        QFETCH(std::optional<QString>, shortVersion);
        QFETCH(OptionalDate, pubDate);
        const auto found = AppcastParser::newestItem(feed(item(elements + version("4") + enclosure())));
        QVERIFY2(found, "an item must not be dropped for its optional fields");
        QCOMPARE(found->title, title);
        QCOMPARE(found->shortVersionString, shortVersion);
        QCOMPARE(found->pubDate, pubDate);
    }

    void theNewestIsChosen_data()
    {
        QTest::addColumn<QByteArray>("items");
        QTest::addColumn<std::optional<QString>>("title");
        const auto t = [](const char *text) { return std::optional<QString>(QString::fromLatin1(text)); };
        QTest::newRow("12 then 15") << titled("a", "12") + titled("b", "15") << t("b");
        QTest::newRow("15 then 12") << titled("a", "15") + titled("b", "12") << t("a");
        QTest::newRow("15 and 15: the first") << titled("a", "15") + titled("b", "15") << t("a");
        QTest::newRow("a higher invalid item does not count")
            << titled("a", "12") + item("<title>b</title>" + version("99") + enclosure(imageURL, "0")) << t("a");
        QTest::newRow("an unfinished item is discarded by the next")
            << "<item><title>a</title>" + version("99") + enclosure() + titled("b", "3") + "</item>" << t("b");
        QTest::newRow("an enclosure outside any item is ignored")
            << enclosure() + item("<title>a</title>" + version("3")) << std::optional<QString>();
    }

    void theNewestIsChosen()
    {
        QFETCH(QByteArray, items);
        QFETCH(std::optional<QString>, title);
        const auto found = AppcastParser::newestItem(feed(items));
        QCOMPARE(found ? found->title : std::nullopt, title);
    }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<OptionalVersion>("expected");
        const OptionalVersion none;
        const QByteArray good = titled("a", "5");
        const QByteArray complete = feed(good + titled("b", "6"));

        QTest::newRow("complete") << complete << OptionalVersion(6);
        QTest::newRow("broken off after complete items") << complete.left(complete.indexOf("</channel>")) << none;
        QTest::newRow("broken off inside a tag") << complete.chopped(3) << none;
        QTest::newRow("undeclared prefix after a complete item") << feed(good + "<x:note/>") << none;
        QTest::newRow("undeclared entity") << feed(good + "<item><title>&nbsp;</title></item>") << none;
        QTest::newRow("mismatched end tag") << feed(good + "<item></channel>") << none;
        QTest::newRow("content after the root") << complete + "<rss/>" << none;
        QTest::newRow("empty") << QByteArray() << none;
        QTest::newRow("not XML") << QByteArray("{\"items\": []}") << none;
        QTest::newRow("no items") << feed("") << none;
        QTest::newRow("another prefix bound to the Sparkle URI")
            << feed("<item><sp:version>8</sp:version>"
                    + enclosure(imageURL, "1", "sp:edSignature=\"c2ln\"") + "</item>",
                    "xmlns:sp=\"" + sparkleUri + '"')
            << OptionalVersion(8);
        QTest::newRow("the sparkle prefix bound to another URI")
            << feed(titled("a", "5"), "xmlns:sparkle=\"http://example.com/sparkle\"") << none;
        QTest::newRow("Sparkle URI with a trailing slash") << feed(good, "xmlns:sparkle=\"" + sparkleUri + "/\"") << none;
        QTest::newRow("Sparkle URI in capitals") << feed(good, "xmlns:sparkle=\"" + sparkleUri.toUpper() + '"') << none;
        QTest::newRow("items in a default namespace")
            << feed(good, "xmlns=\"http://backend.userland.com/rss2\" xmlns:sparkle=\"" + sparkleUri + '"') << none;
        QTest::newRow("item in a namespace")
            << feed("<x:item xmlns:x=\"http://example.com/x\">" + version("5") + enclosure() + "</x:item>") << none;
        QTest::newRow("an item needs no channel")
            << "<item xmlns:sparkle=\"" + sparkleUri + "\">" + version("5") + enclosure() + "</item>" << OptionalVersion(5);
        QTest::newRow("Latin-1 document")
            << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss xmlns:sparkle=\"" + sparkleUri
                          + "\"><item><title>Caf\xe9</title>" + version("5") + enclosure() + "</item></rss>")
            << OptionalVersion(5);
    }

    void documents()
    {
        QFETCH(QByteArray, document);
        QFETCH(OptionalVersion, expected);
        const auto found = AppcastParser::newestItem(document);
        QCOMPARE(found ? std::optional(found->version) : std::nullopt, expected);
    }

    void rfc822Date_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<OptionalDate>("expected");
        const OptionalDate none;
        QTest::newRow("UTC") << u"Tue, 05 Mar 2024 10:00:00 +0000"_qs << OptionalDate(utc(2024, 3, 5, 10, 0, 0));
        QTest::newRow("GMT") << u"Tue, 05 Mar 2024 10:00:00 GMT"_qs << OptionalDate(utc(2024, 3, 5, 10, 0, 0));
        QTest::newRow("east, half hour") << u"Mon, 01 Jan 2024 05:29:59 +0530"_qs << OptionalDate(utc(2023, 12, 31, 23, 59, 59));
        QTest::newRow("minus zero") << u"Sun, 31 Dec 2000 23:59:59 -0000"_qs << OptionalDate(utc(2000, 12, 31, 23, 59, 59));
        QTest::newRow("weekday not on the date") << u"Mon, 05 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("one-digit day") << u"Tue, 5 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("no weekday") << u"05 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("lower-case names") << u"tue, 05 mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("German names") << u"Di., 05 M\u00e4r 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("two-digit year") << u"Tue, 05 Mar 24 10:00:00 +0000"_qs << none;
        QTest::newRow("no seconds") << u"Tue, 05 Mar 2024 10:00 +0000"_qs << none;
        QTest::newRow("zone UT") << u"Tue, 05 Mar 2024 10:00:00 UT"_qs << none;
        QTest::newRow("zone EST") << u"Tue, 05 Mar 2024 10:00:00 EST"_qs << none;
        QTest::newRow("zone with a colon") << u"Tue, 05 Mar 2024 10:00:00 +00:00"_qs << none;
        QTest::newRow("zone minutes 60") << u"Tue, 05 Mar 2024 10:00:00 +0060"_qs << none;
        QTest::newRow("no zone") << u"Tue, 05 Mar 2024 10:00:00"_qs << none;
        QTest::newRow("30 February") << u"Fri, 30 Feb 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("hour 24") << u"Tue, 05 Mar 2024 24:00:00 +0000"_qs << none;
        QTest::newRow("second 60") << u"Tue, 05 Mar 2024 23:59:60 +0000"_qs << none;
        QTest::newRow("year 0") << u"Sat, 01 Jan 0000 00:00:00 +0000"_qs << none;
        QTest::newRow("first day") << u"Mon, 01 Jan 0001 00:59:00 +0059"_qs << OptionalDate(utc(1, 1, 1, 0, 0, 0));
        QTest::newRow("before the first day in UTC") << u"Mon, 01 Jan 0001 00:58:00 +0059"_qs << none;
        QTest::newRow("last day") << u"Fri, 31 Dec 9999 22:00:00 -0159"_qs << OptionalDate(utc(9999, 12, 31, 23, 59, 0));
        QTest::newRow("after the last day in UTC") << u"Fri, 31 Dec 9999 23:00:00 -0100"_qs << none;
        QTest::newRow("double blank") << u"Tue,  05 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("trailing blank") << u"Tue, 05 Mar 2024 10:00:00 +0000 "_qs << none;
        QTest::newRow("signed day") << u"Tue, +5 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("full-width digits") << u"Tue, \uff10\uff15 Mar 2024 10:00:00 +0000"_qs << none;
        QTest::newRow("ISO 8601") << u"2024-03-05T10:00:00Z"_qs << none;
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
