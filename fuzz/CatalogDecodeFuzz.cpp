// Feeds arbitrary bytes, signed on the spot, through verify and decode. Beyond not crashing, an
// accepted catalog must keep the decoder's promises.
#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <catalog/HostAllowlist.h>
#include <catalog/VersionCompare.h>
#include <signing/PrivateKeys.h>

#include <QSet>

#include <cstdlib>

using namespace vantry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const Crypto::Ed25519KeyPair key = *Crypto::generateEd25519KeyPair();
    static const QString publicKey = QString::fromLatin1(key.publicKey.toBase64());

    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto signature = Crypto::ed25519Sign(key.privateKeyPem, bytes);
    const auto verified = Ed25519Verifier::verify(bytes, QString::fromLatin1(signature->toBase64()), publicKey);
    if (!verified)
        std::abort();

    const std::int64_t mark = size > 0 ? data[0] % 8 : 0;
    const auto catalog = Catalog::decode(*verified, mark);
    if (!catalog)
        return 0;
    if (catalog->schemaVersion != 1 || catalog->catalogVersion < 1 || catalog->catalogVersion < mark)
        std::abort();
    QSet<QString> ids;
    for (const auto &entry : catalog->games) {
        if (ids.contains(entry.id) || entry.name.isEmpty() || entry.bundleId.isEmpty()
            || !HostAllowlist::allows(entry.appcastURL) || !HostAllowlist::allows(entry.iconURL)
            || entry.iconSHA256.size() != 64 || !VersionCompare::parseSystemVersion(entry.minSystemVersion))
            std::abort();
        ids.insert(entry.id);
    }
    return 0;
}
