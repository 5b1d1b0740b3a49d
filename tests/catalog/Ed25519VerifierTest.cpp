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

private Q_SLOTS:
    void initTestCase()
    {
        const auto pair = Crypto::generateEd25519KeyPair();
        QVERIFY(pair);
        m_privateKey = pair->privateKeyPem;
        m_publicKey = QString::fromLatin1(pair->publicKey.toBase64());
    }

    void aGoodSignatureGivesTheSameBytes()
    {
        const QString signature = signatureOf(m_bytes);
        for (const QString &form : {signature, signature + u"\n"_qs, u"  \r\n"_qs + signature + u"\r\n\t "_qs}) {
            const auto verified = Ed25519Verifier::verify(m_bytes, form, m_publicKey);
            QVERIFY(verified);
            QCOMPARE(verified->bytes(), m_bytes);
        }
    }

    void malformedKeys()
    {
        const QString signature = signatureOf(m_bytes);
        const QByteArray raw = *Crypto::decodeBase64Strict(m_publicKey);
        const QStringList keys{
            m_publicKey + u"\n"_qs,
            u" "_qs + m_publicKey,
            m_publicKey.chopped(1), // padding missing
            QString::fromLatin1(raw.left(31).toBase64()),
            QString::fromLatin1((raw + 'x').toBase64()),
            QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding)).replace(u'=', u""_qs),
            QString(),
        };
        for (const QString &key : keys) {
            QCOMPARE(Ed25519Verifier::verify(m_bytes, signature, key).error(), VerificationError::malformedPublicKey);
            // The key is judged before the signature.
            QCOMPARE(Ed25519Verifier::verify(m_bytes, u"not base64!"_qs, key).error(), VerificationError::malformedPublicKey);
        }
    }

    void malformedSignatures()
    {
        const QByteArray raw = *Crypto::decodeBase64Strict(signatureOf(m_bytes));
        const QStringList signatures{
            QString::fromLatin1(raw.left(63).toBase64()),
            QString::fromLatin1((raw + 'x').toBase64()),
            signatureOf(m_bytes).insert(10, u'\n'),
            u"not base64!"_qs,
            QString(),
        };
        for (const QString &signature : signatures)
            QCOMPARE(Ed25519Verifier::verify(m_bytes, signature, m_publicKey).error(), VerificationError::malformedSignature);
    }

    void mismatches()
    {
        const QString signature = signatureOf(m_bytes);
        QByteArray changed = m_bytes;
        changed[changed.size() - 2] = ' ';
        QCOMPARE(Ed25519Verifier::verify(changed, signature, m_publicKey).error(), VerificationError::signatureMismatch);
        QCOMPARE(Ed25519Verifier::verify(m_bytes + '\n', signature, m_publicKey).error(), VerificationError::signatureMismatch);

        const auto other = Crypto::generateEd25519KeyPair();
        QCOMPARE(Ed25519Verifier::verify(m_bytes, signature, QString::fromLatin1(other->publicKey.toBase64())).error(),
                 VerificationError::signatureMismatch);

        QByteArray flipped = *Crypto::decodeBase64Strict(signature);
        flipped[5] = char(flipped[5] ^ 0x01);
        QCOMPARE(Ed25519Verifier::verify(m_bytes, QString::fromLatin1(flipped.toBase64()), m_publicKey).error(),
                 VerificationError::signatureMismatch);
    }

    void sha256IsLowerCaseHex()
    {
        QCOMPARE(sha256("abc"), u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_qs);
        QCOMPARE(sha256(QByteArray(1000, '\xff')).size(), 64);
        QCOMPARE(sha256(QByteArray(1000, '\xff')), sha256(QByteArray(1000, '\xff')).toLower());
    }
};

QTEST_GUILESS_MAIN(Ed25519VerifierTest)
#include "Ed25519VerifierTest.moc"
