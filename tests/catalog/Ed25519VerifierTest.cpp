#include <catalog/Ed25519Verifier.h>
#include <platform/Crypto.h>
#include <signing/PrivateKeys.h>

#include <QTest>

using namespace vantry;
using Ed25519Verifier::VerificationError;

class Ed25519VerifierTest : public QObject
{
    Q_OBJECT

    QByteArray m_privateKey;
    QString m_publicKey;
    const QByteArray m_bytes = R"({"schemaVersion": 1, "catalogVersion": 3, "games": []})";

    QString signatureOf(const QByteArray &bytes) const
    {
        return QString::fromLatin1(Crypto::ed25519Sign(m_privateKey, bytes)->toBase64());
    }

    static QString base64(const QByteArray &bytes) { return QString::fromLatin1(bytes.toBase64()); }

private Q_SLOTS:
    void initTestCase()
    {
        const auto pair = Crypto::generateEd25519KeyPair();
        QVERIFY(pair);
        m_privateKey = pair->privateKeyPem;
        m_publicKey = base64(pair->publicKey);
    }

    void aGoodSignatureGivesTheSameBytesAndOnlyThem()
    {
        // Blanks around the signature, as a served file has them, are not part of it.
        const auto verified = Ed25519Verifier::verify(m_bytes, u"  \r\n"_qs + signatureOf(m_bytes) + u"\r\n\t "_qs, m_publicKey);
        QVERIFY(verified);
        QCOMPARE(verified->bytes(), m_bytes);
        QByteArray changed = m_bytes;
        changed[changed.size() - 2] = ' ';
        QCOMPARE(Ed25519Verifier::verify(changed, signatureOf(m_bytes), m_publicKey).error(),
                 VerificationError::signatureMismatch);
    }

    void malformedKeysAndSignatures()
    {
        const QString signature = signatureOf(m_bytes);
        const QByteArray key = *Crypto::decodeBase64Strict(m_publicKey);
        for (const QString &malformed : {m_publicKey + u"\n"_qs, m_publicKey.chopped(1), base64(key.left(31)), base64(key + 'x')}) {
            QCOMPARE(Ed25519Verifier::verify(m_bytes, signature, malformed).error(), VerificationError::malformedPublicKey);
            // The key is judged before the signature.
            QCOMPARE(Ed25519Verifier::verify(m_bytes, u"not base64!"_qs, malformed).error(), VerificationError::malformedPublicKey);
        }
        const QByteArray raw = *Crypto::decodeBase64Strict(signature);
        for (const QString &malformed : {base64(raw.left(63)), base64(raw + 'x'), QString(signature).insert(10, u'\n')})
            QCOMPARE(Ed25519Verifier::verify(m_bytes, malformed, m_publicKey).error(), VerificationError::malformedSignature);
    }
};

QTEST_GUILESS_MAIN(Ed25519VerifierTest)
#include "Ed25519VerifierTest.moc"
