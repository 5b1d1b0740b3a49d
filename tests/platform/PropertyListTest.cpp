#include <platform/PropertyList.h>

#include <QTest>

using namespace vantry;

class PropertyListTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bothFormatsRoundTrip()
    {
        const PlistValue info(PlistValue::Dictionary{
            {u"CFBundleIdentifier"_qs, PlistValue("com.example.swirlo")},
            {u"CFBundleVersion"_qs, PlistValue("41")},
            {u"Negative"_qs, PlistValue(std::int64_t(-7))},
            {u"Large"_qs, PlistValue(std::int64_t(9007199254740993))},
            {u"Flag"_qs, PlistValue(false)},
            {u"Built"_qs, PlistValue(QDateTime(QDate(2024, 3, 1), QTime(12, 30, 5), Qt::UTC))},
            {u"Entities"_qs, PlistValue(PlistValue::Array{PlistValue(PlistValue::Dictionary{{u"dev-entry"_qs, PlistValue("/dev/x")}})})},
        });
        for (const QByteArray &bytes : {info.toXml(), info.toBinary()}) {
            const auto parsed = PlistValue::parse(bytes);
            QVERIFY(parsed);
            QCOMPARE(*parsed, info);
            QCOMPARE(parsed->text(u"CFBundleIdentifier"), std::optional(u"com.example.swirlo"_qs));
            QCOMPARE(parsed->value(u"Negative")->integer(), std::optional<std::int64_t>(-7));
            QCOMPARE(parsed->value(u"Flag")->boolean(), std::optional(false));
            QVERIFY(!parsed->value(u"Missing"));
            QCOMPARE(*parsed->value(u"Built")->date(), QDateTime(QDate(2024, 3, 1), QTime(12, 30, 5), Qt::UTC));
        }
        QVERIFY(info.toXml().startsWith("<?xml"));
        QVERIFY(info.toBinary().startsWith("bplist00"));
    }

    void whatIsNoPropertyList()
    {
        for (const QByteArray &bytes : {QByteArray(), QByteArray("not a plist"), QByteArray("bplist00\x01\x02"),
                                        QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key>"),
                                        // U+0000 in a UTF-16 text and in a UTF-16 key: libplist would abort
                                        QByteArray::fromHex("62706c697374303062000000620800000000000001010000000000000001"
                                                            "0000000000000000000000000000000d"),
                                        QByteArray::fromHex("62706c6973743030d1010262000000625178080b1000000000000001010000"
                                                            "00000000000300000000000000000000000000000012")})
            QVERIFY2(!PlistValue::parse(bytes), bytes.constData());
    }
};

QTEST_GUILESS_MAIN(PropertyListTest)
#include "PropertyListTest.moc"
