#pragma once

#include <catalog/AllowlistFetch.h>
#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <optional>
#include <variant>

namespace vantry {

class HighWaterStore;

/// Produces the one catalog the launcher trusts: the network pair when it verifies and decodes
/// against the catalog mark, else the last such pair from the cache, else the signed seed built
/// into the launcher. Also hands out icons whose digest matches the catalog. Main thread only;
/// `load` and `icon` read and write the disk on the background pool.
class CatalogService : public QObject
{
    Q_OBJECT

public:
    enum class Source { network, cache, seed };

    struct Error {
        enum class Kind { seedOlderThanHighWater, unavailable, iconHashMismatch, seedUnavailable, seedRefused };
        Kind kind = Kind::unavailable;
        std::int64_t seedVersion = 0;   // seedOlderThanHighWater
        std::int64_t highWaterMark = 0; // seedOlderThanHighWater

        [[nodiscard]] static Error of(Kind kind) { return {kind, 0, 0}; }
        friend bool operator==(const Error &, const Error &) = default;
    };

    /// Why an icon could not be had: a digest mismatch, the fetch, or the icon cache.
    using IconFailure = std::variant<Error, AllowlistFetch::Failure, SystemError>;

    /// Where the seed pair ("SeedCatalog/catalog.json" and ".sig") and the seed icons
    /// ("SeedIcons/<id>.png") are found: the launcher's resources, or a folder in tests.
    static QString builtInSeed() { return QStringLiteral(":/"); }

    struct Locations {
        QString cacheDirectory;     // default: the catalog cache folder
        QString iconCacheDirectory; // default: the icon cache folder
        QString seedRoot;           // default: builtInSeed()
        static Locations standard();
    };

    CatalogService(const AllowlistFetch &fetch, HighWaterStore &highWater, QString publicKeyBase64,
                   Locations locations = Locations::standard(), QObject *parent = nullptr);

    /// The verified catalog from the network, the cache or the seed, in that order.
    [[nodiscard]] QCoro::Task<Expected<Catalog, Error>> load();

    /// The cached pair, when it still verifies and decodes against the mark. Reads the disk here.
    [[nodiscard]] std::optional<Catalog> loadCached() const;

    /// The seed pair, verified and decoded against the mark. Reads the disk here.
    [[nodiscard]] Expected<Catalog, Error> loadSeed() const;

    /// A file whose SHA-256 is the entry's iconSHA256: cached, seed, or fetched and cached.
    [[nodiscard]] QCoro::Task<Expected<QUrl, IconFailure>> icon(Catalog::Entry entry);

    /// Which source gave the catalog of the last load; nothing before one and after a failed one.
    [[nodiscard]] std::optional<Source> source() const { return m_source; }
    /// Why the seed failed in the last load, when it did.
    [[nodiscard]] std::optional<Error> lastOfflineReason() const { return m_lastOfflineReason; }

private:
    struct Pair {
        QByteArray bytes;
        QString signatureBase64;
    };
    [[nodiscard]] QCoro::Task<Expected<Pair, AllowlistFetch::Failure>> fetchPair() const;
    [[nodiscard]] Expected<Catalog, std::variant<Ed25519Verifier::VerificationError, Catalog::DecodeError>>
    verifyAndDecode(const QByteArray &bytes, const QString &signature) const;
    // The pair stored in `folder`, when both files read and the signature is UTF-8. Blocks.
    [[nodiscard]] static std::optional<Pair> readPair(const QString &folder);
    // The stored pairs, once read (off the main thread), judged against the mark.
    [[nodiscard]] std::optional<Catalog> decodeCached(const std::optional<Pair> &stored) const;
    [[nodiscard]] Expected<Catalog, Error> decodeSeed(const std::optional<Pair> &stored) const;
    [[nodiscard]] QString seedCatalogFolder() const;

    const AllowlistFetch &m_fetch;
    HighWaterStore &m_highWater;
    QString m_publicKeyBase64;
    Locations m_locations;
    std::optional<Source> m_source;
    std::optional<Error> m_lastOfflineReason;
};

} // namespace vantry
