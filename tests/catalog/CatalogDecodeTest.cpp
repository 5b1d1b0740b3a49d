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
        QTest::addColumn<int>("index");
        const auto cases = test::catalogCases();
        for (int i = 0; i < cases.size(); ++i)
            QTest::newRow(cases[i].name.toUtf8().constData()) << i;
    }

    void documents()
    {
        QFETCH(int, index);
        const test::CatalogCase c = test::catalogCases().at(index);
        const auto decoded = decodeSigned(c.document, c.highWaterMark);

        if (c.error) {
            QVERIFY2(!decoded, "the document should have been refused");
            const auto &error = decoded.error();
            QCOMPARE(kindName(error.kind), *c.error);
            QCOMPARE(error.field, c.field);
            QCOMPARE(error.version, c.version);
            QCOMPARE(error.found, c.found);
            QCOMPARE(error.highWaterMark, c.mark);
            return;
        }
        QVERIFY2(decoded, decoded ? "" : qPrintable(kindName(decoded.error().kind) + u' ' + decoded.error().field));
        QCOMPARE(decoded->schemaVersion, std::int64_t(1));
        QCOMPARE(decoded->catalogVersion, c.catalogVersion);
        QCOMPARE(decoded->minimumLauncherBuild, c.minimumLauncherBuild);
        QStringList ids;
        for (const auto &entry : decoded->games) {
            ids << entry.id;
            QCOMPARE(entry.released, !c.announcedIds.contains(entry.id));
        }
        QCOMPARE(ids, c.gameIds);
        QCOMPARE(decoded->skippedEntries.size(), c.skipped.size());
        for (qsizetype i = 0; i < c.skipped.size(); ++i) {
            QCOMPARE(decoded->skippedEntries[i].id, c.skipped[i].id);
            QCOMPARE(decoded->skippedEntries[i].reason, c.skipped[i].reason);
        }
    }

    void anAcceptedEntryKeepsItsFieldsAsWritten()
    {
        QByteArray entry = test::validEntryJson(u"swirlo"_qs);
        const QByteArray doc = R"({"schemaVersion": 1, "catalogVersion": 9, "minimumLauncherBuild": 4, "games": [)"
            + entry + "]}";
        const auto catalog = decodeSigned(doc, 0);
        QVERIFY(catalog);
        QCOMPARE(catalog->games.size(), 1);
        const Catalog::Entry &e = catalog->games.first();
        QCOMPARE(e.id, u"swirlo"_qs);
        QCOMPARE(e.name, u"Game swirlo"_qs);
        QCOMPARE(e.tagline, u"A tagline"_qs);
        QCOMPARE(e.description, u"A longer description."_qs);
        QCOMPARE(e.bundleId, u"com.example.swirlo"_qs);
        QCOMPARE(e.appcastURL, QUrl(test::onOrigin(u"/updates/swirlo.xml"_qs)));
        QCOMPARE(e.iconURL, QUrl(test::onOrigin(u"/icons/swirlo.png"_qs)));
        QCOMPARE(e.iconSHA256, QString(64, u'a'));
        QCOMPARE(e.minSystemVersion, u"2.31"_qs);
        QVERIFY(e.released);
        QCOMPARE(catalog->minimumLauncherBuild, std::int64_t(4));

        // Decoding is a pure function of the bytes and the mark.
        QCOMPARE(*decodeSigned(doc, 0), *catalog);
        QCOMPARE(*decodeSigned(doc, 9), *catalog);
    }
};

QTEST_GUILESS_MAIN(CatalogDecodeTest)
#include "CatalogDecodeTest.moc"
