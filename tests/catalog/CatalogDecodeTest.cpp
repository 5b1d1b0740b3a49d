#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <signing/PrivateKeys.h>

#include <support/CatalogFixtures.h>

#include <QTest>

using namespace vantry;
using Kind = Catalog::DecodeError::Kind;

namespace {

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::unsupportedSchemaVersion:
        return u"unsupportedSchemaVersion"_qs;
    case Kind::missingField:
        return u"missingField"_qs;
    case Kind::replay:
        return u"replay"_qs;
    case Kind::notJSONObject:
        return u"notJSONObject"_qs;
    case Kind::invalidJSON:
        return u"invalidJSON"_qs;
    }
    return {};
}

// The outcome as the fixtures write it.
QString describe(const Expected<Catalog, Catalog::DecodeError> &decoded)
{
    if (!decoded) {
        const auto &e = decoded.error();
        return test::refusal(kindName(e.kind), e.field, e.version, e.found, e.highWaterMark);
    }
    QStringList games, skipped;
    for (const auto &entry : decoded->games)
        games << entry.id + (entry.released ? QString() : u" (announced)"_qs);
    for (const auto &entry : decoded->skippedEntries)
        skipped << entry.id.value_or(u"-"_qs) + u" ("_qs + entry.reason + u')';
    return test::acceptance(decoded->catalogVersion, decoded->minimumLauncherBuild, games, skipped);
}

} // namespace

class CatalogDecodeTest : public QObject
{
    Q_OBJECT

    Crypto::Ed25519KeyPair m_key;

    Expected<Catalog, Catalog::DecodeError> decodeSigned(const QByteArray &bytes, std::int64_t mark)
    {
        const auto signature = Crypto::ed25519Sign(m_key.privateKeyPem, bytes);
        const auto verified = Ed25519Verifier::verify(bytes, QString::fromLatin1(signature->toBase64()),
                                                      QString::fromLatin1(m_key.publicKey.toBase64()));
        if (!verified)
            qFatal("fixture did not verify");
        return Catalog::decode(*verified, mark);
    }

private Q_SLOTS:
    void initTestCase() { m_key = *Crypto::generateEd25519KeyPair(); }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<QString>("expected");
        for (const auto &c : test::catalogCases())
            QTest::newRow(c.name.toUtf8().constData()) << c.document << qint64(c.highWaterMark) << c.expected;
    }

    void documents()
    {
        QFETCH(QByteArray, document);
        QFETCH(qint64, mark);
        QFETCH(QString, expected);
        QCOMPARE(describe(decodeSigned(document, mark)), expected);
    }

    void anAcceptedEntryKeepsItsFieldsAsWritten()
    {
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 9, "games": [)" + test::validEntryJson(u"swirlo"_qs) + "]}";
        const auto catalog = decodeSigned(doc, 0);
        QVERIFY(catalog && catalog->games.size() == 1);
        const Catalog::Entry expected{u"swirlo"_qs, u"Game swirlo"_qs, u"A tagline"_qs, u"A longer description."_qs,
                                      u"com.example.swirlo"_qs, QUrl(test::onOrigin(u"/updates/swirlo.xml"_qs)), u"2.31"_qs,
                                      QUrl(test::onOrigin(u"/icons/swirlo.png"_qs)), QString(64, u'a'), true};
        QVERIFY(catalog->games.first() == expected);
        // The mark only decides refusal: at or below the version, it changes nothing.
        QVERIFY(*decodeSigned(doc, 9) == *catalog);
    }
};

QTEST_GUILESS_MAIN(CatalogDecodeTest)
#include "CatalogDecodeTest.moc"
