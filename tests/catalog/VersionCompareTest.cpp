#include <catalog/VersionCompare.h>

#include <QTest>

using namespace vantry;

class VersionCompareTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<SystemVersion>>("expected");
        const auto v = [](std::int64_t a, std::int64_t b, std::int64_t c) { return std::optional(SystemVersion{a, b, c}); };
        const std::optional<SystemVersion> none;
        QTest::newRow("major only") << u"14"_qs << v(14, 0, 0);
        QTest::newRow("three parts") << u"12.6.1"_qs << v(12, 6, 1);
        QTest::newRow("zero") << u"0"_qs << v(0, 0, 0);
        QTest::newRow("largest part") << u"9223372036854775807.0.1"_qs << v(9223372036854775807, 0, 1);
        QTest::newRow("four parts") << u"14.2.1.0"_qs << none;
        QTest::newRow("trailing dot") << u"14."_qs << none;
        QTest::newRow("leading zero") << u"14.02"_qs << none;
        QTest::newRow("negative") << u"-1"_qs << none;
        QTest::newRow("trailing blank") << u"14 "_qs << none;
        QTest::newRow("overflow") << u"9223372036854775808"_qs << none;
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<SystemVersion>, expected);
        QCOMPARE(VersionCompare::parseSystemVersion(text), expected);
    }

    void orderGoesPartByPart()
    {
        const auto order = [](const char *a, const char *b) {
            return VersionCompare::compare(*VersionCompare::parseSystemVersion(QString::fromLatin1(a)),
                                           *VersionCompare::parseSystemVersion(QString::fromLatin1(b)));
        };
        QVERIFY(order("13.9.9", "14") < 0);
        QVERIFY(order("2.38", "2.4") > 0);
        QVERIFY(order("2.36.1", "2.36.2") < 0);
        QVERIFY(order("14", "14.0.0") == 0);
    }
};

QTEST_GUILESS_MAIN(VersionCompareTest)
#include "VersionCompareTest.moc"
