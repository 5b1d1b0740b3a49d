#include <catalog/HostAllowlist.h>

#include <vantry/BuildConfig.h>

#include <QTest>

using namespace vantry;

class HostAllowlistTest : public QObject
{
    Q_OBJECT

    static QString withHost(const char *pattern)
    {
        return QString::fromUtf8(pattern).replace(u"HOST"_qs, QString::fromLatin1(BuildConfig::catalogHost));
    }

private Q_SLOTS:
    void originRule_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const char *name, const char *pattern, bool allowed) {
            QTest::newRow(name) << withHost(pattern) << allowed;
        };
        row("catalog", "https://HOST/catalog.json", true);
        row("any path, query and fragment", "https://HOST/updates/swirlo.xml?x=1#f", true);
        row("root without a slash", "https://HOST", true);
        row("encoded path", "https://HOST/a%20b", true);
        row("query right after the host", "https://HOST?x=1", true);
        row("fragment right after the host", "https://HOST#f", true);
        row("non-ASCII look-alike of a letter", "https://catalog.vantry.te\u017Ft/x", false);
        row("http", "http://HOST/catalog.json", false);
        row("upper-case scheme", "HTTPS://HOST/catalog.json", false);
        row("mixed-case scheme", "Https://HOST/catalog.json", false);
        row("no scheme", "//HOST/catalog.json", false);
        row("no authority", "https:/HOST/catalog.json", false);
        row("sub-domain", "https://cdn.HOST/x", false);
        row("suffix", "https://HOST.evil.test/x", false);
        row("trailing dot", "https://HOST./x", false);
        row("another host", "https://example.com/x", false);
        row("explicit 443", "https://HOST:443/x", false);
        row("other port", "https://HOST:8443/x", false);
        row("empty port", "https://HOST:/x", false);
        row("user", "https://maker@HOST/x", false);
        row("user and password", "https://maker:pw@HOST/x", false);
        row("password only", "https://:pw@HOST/x", false);
        row("empty user information", "https://@HOST/x", false);
        row("host hidden behind user information", "https://HOST@example.com/x", false);
        row("percent-encoded host", "https://catalog%2Evantry.test/x", false);
        row("backslash authority", "https:\\\\HOST/x", false);
        row("space in path", "https://HOST/a b", false);
        row("empty", "", false);
    }

    void originRule()
    {
        QFETCH(QString, url);
        QFETCH(bool, allowed);
        QCOMPARE(HostAllowlist::allows(url), allowed);
    }

    void parsedURLsFollowTheSameRule()
    {
        QVERIFY(HostAllowlist::allows(QUrl(withHost("https://HOST/x"))));
        for (const char *pattern : {"https://HOST:443/x", "https://HOST:8443/x", "https://maker@HOST/x", "https://:pw@HOST/x",
                                    "https://@HOST/x", "http://HOST/x", "https://cdn.HOST/x", "https://example.com/x"})
            QVERIFY2(!HostAllowlist::allows(QUrl(withHost(pattern))), pattern);
        QUrl withUser(withHost("https://HOST/x"));
        withUser.setUserName(u"maker"_qs);
        QVERIFY(!HostAllowlist::allows(withUser));
        QUrl withPort(withHost("https://HOST/x"));
        withPort.setPort(443);
        QVERIFY(!HostAllowlist::allows(withPort));
    }

    void hostLettersInAnyCase()
    {
        const QString loud = QString::fromLatin1(BuildConfig::catalogHost).toUpper();
        QVERIFY(HostAllowlist::allows(u"https://"_qs + loud + u"/catalog.json"_qs));
        const auto url = HostAllowlist::allowedUrl(u"https://"_qs + loud + u"/catalog.json"_qs);
        QVERIFY(url);
        QCOMPARE(url->host(), QString::fromLatin1(BuildConfig::catalogHost));
    }

    void catalogURLs()
    {
        QCOMPARE(HostAllowlist::catalogURL().toString(), withHost("https://HOST/catalog.json"));
        QCOMPARE(HostAllowlist::catalogSignatureURL().toString(), withHost("https://HOST/catalog.json.sig"));
        QVERIFY(HostAllowlist::allows(HostAllowlist::catalogURL()));
        QVERIFY(HostAllowlist::allows(HostAllowlist::catalogSignatureURL()));
        QVERIFY(!HostAllowlist::allows(QUrl()));
    }
};

QTEST_GUILESS_MAIN(HostAllowlistTest)
#include "HostAllowlistTest.moc"
