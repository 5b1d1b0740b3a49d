#include <platform/Crypto.h>

#include <core/OffMain.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

namespace vantry::Crypto {

namespace {

// Background tasks hand back OpenSSL's per-thread records as they end: a pool thread may outlive
// the library at exit, and its records would be lost.
[[maybe_unused]] const bool taskCleanupRegistered = (addTaskCleanup(&OPENSSL_thread_stop), true);

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

const unsigned char *bytesOf(QByteArrayView view) { return reinterpret_cast<const unsigned char *>(view.data()); }

bool isBase64Character(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '+' || u == '/';
}

} // namespace

void keepLibraryUntilExit() { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

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

QByteArray sha256Digest(QByteArrayView bytes)
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
