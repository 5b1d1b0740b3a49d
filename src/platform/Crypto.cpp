#include <platform/Crypto.h>

#include <core/OffMain.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace vantry::Crypto {

namespace {

// Background tasks hand back OpenSSL's per-thread records as they end: a pool thread may outlive
// the library at exit, and its records would be lost.
[[maybe_unused]] const bool taskCleanupRegistered = (addTaskCleanup(&OPENSSL_thread_stop), true);

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

const unsigned char *bytesOf(QByteArrayView view) { return reinterpret_cast<const unsigned char *>(view.data()); }

Expected<Pkey, CryptoError> readPrivateKey(QByteArrayView pem)
{
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return unexpected(CryptoError::failed);
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
        return unexpected(CryptoError::malformedPrivateKey);
    return key;
}

Expected<QByteArray, CryptoError> rawPublicKey(EVP_PKEY *key)
{
    QByteArray raw(ed25519PublicKeySize, Qt::Uninitialized);
    size_t length = static_cast<size_t>(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
        || length != static_cast<size_t>(ed25519PublicKeySize))
        return unexpected(CryptoError::failed);
    return raw;
}

bool isBase64Character(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '+' || u == '/';
}

} // namespace

Expected<Ed25519KeyPair, CryptoError> generateEd25519KeyPair()
{
    PkeyCtx context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1)
        return unexpected(CryptoError::failed);
    Pkey key(generated);

    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return unexpected(CryptoError::failed);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    auto publicKey = rawPublicKey(key.get());
    if (!publicKey)
        return unexpected(publicKey.error());
    return Ed25519KeyPair{QByteArray(data, size), *publicKey};
}

Expected<QByteArray, CryptoError> ed25519PublicKey(QByteArrayView privateKeyPem)
{
    auto key = readPrivateKey(privateKeyPem);
    if (!key)
        return unexpected(key.error());
    return rawPublicKey(key->get());
}

Expected<QByteArray, CryptoError> ed25519Sign(QByteArrayView privateKeyPem, QByteArrayView message)
{
    auto key = readPrivateKey(privateKeyPem);
    if (!key)
        return unexpected(key.error());
    MdCtx context(EVP_MD_CTX_new());
    QByteArray signature(ed25519SignatureSize, Qt::Uninitialized);
    size_t length = static_cast<size_t>(signature.size());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key->get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                          bytesOf(message), static_cast<size_t>(message.size()))
            != 1
        || length != static_cast<size_t>(ed25519SignatureSize))
        return unexpected(CryptoError::failed);
    return signature;
}

Ed25519Check ed25519Verify(QByteArrayView publicKey, QByteArrayView signature, QByteArrayView message)
{
    if (publicKey.size() != ed25519PublicKeySize)
        return Ed25519Check::malformedPublicKey;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(publicKey),
                                         static_cast<size_t>(publicKey.size())));
    if (!key)
        return Ed25519Check::malformedPublicKey;
    if (signature.size() != ed25519SignatureSize)
        return Ed25519Check::mismatch;
    MdCtx context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return Ed25519Check::mismatch;
    const int verdict = EVP_DigestVerify(context.get(), bytesOf(signature), static_cast<size_t>(signature.size()),
                                         bytesOf(message), static_cast<size_t>(message.size()));
    // Only 1 is a valid signature; 0 and every error code refuse.
    return verdict == 1 ? Ed25519Check::valid : Ed25519Check::mismatch;
}

QByteArray sha256(QByteArrayView bytes)
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), static_cast<size_t>(bytes.size()), reinterpret_cast<unsigned char *>(digest.data()),
                   &length, EVP_sha256(), nullptr)
            != 1
        || length != 32)
        qFatal("SHA-256 is unavailable");
    return digest;
}

std::optional<QByteArray> decodeBase64Strict(QStringView text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    qsizetype padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == u'=')
        ++padding;
    for (qsizetype i = 0; i < text.size() - padding; ++i) {
        if (!isBase64Character(text[i]))
            return std::nullopt;
    }
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return result.decoded;
}

} // namespace vantry::Crypto
