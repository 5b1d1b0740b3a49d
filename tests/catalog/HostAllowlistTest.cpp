#include <catalog/HostAllowlist.h>

#include <vantry/BuildConfig.h>

#include <QTest>

using namespace vantry;

class HostAllowlistTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void originRule_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("parsed"); // judged as a QUrl rather than as text
        QTest::addColumn<bool>("allowed");
        const QString host = QString::fromLatin1(BuildConfig::catalogHost);
        const auto row = [&](const char *name, const char *pattern, bool allowed, bool parsed = false) {
            QTest::newRow(name) << QString::fromUtf8(pattern).replace(u"LOUD"_qs, host.toUpper()).replace(u"HOST"_qs, host)
                                << parsed << allowed;
        };
        row("any path, query and fragment", "https://HOST/updates/a%20b.xml?x=1#f", true);
        row("host letters in any case", "https://LOUD/catalog.json", true);
        row("root without a slash", "https://HOST", true);
        row("query right after the host", "https://HOST?x=1", true);
        row("fragment right after the host", "https://HOST#f", true);
        row("http", "http://HOST/catalog.json", false);
        row("upper-case scheme", "HTTPS://HOST/catalog.json", false);
        row("no scheme", "//HOST/catalog.json", false);
        row("no authority", "https:/HOST/catalog.json", false);
        row("suffix", "https://HOST.evil.test/x", false);
        row("non-ASCII look-alike of a letter", "https://catalog.vantry.te\u017Ft/x", false);
        row("host hidden behind user information", "https://HOST@example.com/x", false);
        row("space in path", "https://HOST/a b", false);
        // A parsed URL no longer shows how its scheme was written; the rest of the rule holds.
        row("parsed", "https://HOST/x", true, true);
        row("parsed http", "http://HOST/x", false, true);
        row("parsed sub-domain", "https://cdn.HOST/x", false, true);
        row("parsed 443", "https://HOST:443/x", false, true);
        row("parsed user", "https://maker@HOST/x", false, true);
        row("parsed password", "https://:pw@HOST/x", false, true);
        row("parsed empty user information", "https://@HOST/x", false, true);
        row("parsed empty", "", false, true);
    }

    void originRule()
    {
        QFETCH(QString, url);
        QFETCH(bool, parsed);
        QFETCH(bool, allowed);
        QCOMPARE(parsed ? HostAllowlist::allows(QUrl(url)) : HostAllowlist::allows(url), allowed);
    }
};

QTEST_GUILESS_MAIN(HostAllowlistTest)
#include "HostAllowlistTest.moc"
