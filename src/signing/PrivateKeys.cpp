#include <signing/PrivateKeys.h>

#include <platform/Crypto.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace vantry::Crypto {

namespace {

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
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) !=
            1 ||
        length != static_cast<size_t>(ed25519PublicKeySize))
        return unexpected(CryptoError::failed);
    return raw;
}

} // namespace

Expected<Ed25519KeyPair, CryptoError> generateEd25519KeyPair()
{
    PkeyCtx context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &generated) != 1)
        return unexpected(CryptoError::failed);
    Pkey key(generated);

    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return unexpected(CryptoError::failed);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    auto publicKey = rawPublicKey(key.get());
    if (!publicKey)
        return unexpected(publicKey.error());
    return Ed25519KeyPair {QByteArray(data, size), *publicKey};
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
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key->get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(message.data()),
                       static_cast<size_t>(message.size())) != 1 ||
        length != static_cast<size_t>(ed25519SignatureSize))
        return unexpected(CryptoError::failed);
    return signature;
}

} // namespace vantry::Crypto
