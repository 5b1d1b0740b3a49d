#include <catalog/VersionCompare.h>

#include <QTest>

using namespace vantry;

Q_DECLARE_METATYPE(std::optional<SystemVersion>)

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
        QTest::newRow("two parts") << u"13.5"_qs << v(13, 5, 0);
        QTest::newRow("three parts") << u"12.6.1"_qs << v(12, 6, 1);
        QTest::newRow("zero") << u"0"_qs << v(0, 0, 0);
        QTest::newRow("largest part") << u"9223372036854775807.0.1"_qs << v(9223372036854775807, 0, 1);
        QTest::newRow("four parts") << u"14.2.1.0"_qs << none;
        QTest::newRow("empty") << QString() << none;
        QTest::newRow("trailing dot") << u"14."_qs << none;
        QTest::newRow("leading dot") << u".14"_qs << none;
        QTest::newRow("empty middle") << u"14..1"_qs << none;
        QTest::newRow("leading zero") << u"14.02"_qs << none;
        QTest::newRow("plus sign") << u"+14"_qs << none;
        QTest::newRow("negative") << u"-1"_qs << none;
        QTest::newRow("negative zero") << u"-0"_qs << none;
        QTest::newRow("letters") << u"14.x"_qs << none;
        QTest::newRow("leading blank") << u" 14"_qs << none;
        QTest::newRow("trailing blank") << u"14 "_qs << none;
        QTest::newRow("inner sign") << u"1-4"_qs << none;
        QTest::newRow("overflow") << u"9223372036854775808"_qs << none;
        QTest::newRow("non-ASCII digits") << u"\u0661\u0664"_qs << none;
        QTest::newRow("full-width digits") << u"\uff11\uff14"_qs << none;
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<SystemVersion>, expected);
        QCOMPARE(VersionCompare::parseSystemVersion(text), expected);
    }

    void orderGoesPartByPart()
    {
        const auto p = [](const char *text) { return *VersionCompare::parseSystemVersion(QString::fromLatin1(text)); };
        QVERIFY(VersionCompare::compare(p("13.9.9"), p("14.0.0")) < 0);
        QVERIFY(VersionCompare::compare(p("14"), p("14.0")) == 0);
        QVERIFY(VersionCompare::compare(p("14.0.0"), p("14")) == 0);
        QVERIFY(VersionCompare::compare(p("2.38"), p("2.4")) > 0);
        QVERIFY(VersionCompare::compare(p("2.36.1"), p("2.36.2")) < 0);
        QVERIFY(VersionCompare::compare(p("3"), p("2.99.99")) > 0);
        QCOMPARE(p("2.36").toString(), u"2.36.0"_qs);
    }
};

QTEST_GUILESS_MAIN(VersionCompareTest)
#include "VersionCompareTest.moc"
