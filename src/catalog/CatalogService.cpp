#include <catalog/CatalogService.h>

#include <catalog/HighWaterStore.h>
#include <catalog/HostAllowlist.h>
#include <core/DefaultsKeys.h>
#include <core/OffMain.h>
#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QPointer>
#include <QStringDecoder>

namespace vantry {

namespace {

std::optional<QByteArray> readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString join(const QString &folder, const QString &name) { return folder + u'/' + name; }

// Loads may overlap, and their cache work runs on the pool: one pair is read or written at a time,
// so that no reader sees one load's document beside another's signature.
Q_CONSTINIT QMutex cacheLock;

// Best effort: a failed write keeps the previous pair. Each file is replaced atomically, so a
// crash never leaves a torn file; a pair torn between the two files fails verification and the
// cache is passed over. Blocks.
void writePair(const QString &folder, const QByteArray &bytes, const QString &signatureBase64)
{
    const QMutexLocker locked(&cacheLock);
    if (!FileSystem::makeDirectories(folder))
        return;
    if (!FileSystem::writeFileAtomically(join(folder, QStringLiteral("catalog.json")), bytes))
        return;
    (void)FileSystem::writeFileAtomically(join(folder, QStringLiteral("catalog.json.sig")), signatureBase64.toUtf8());
}

// The icon already on disk whose digest is `digest`: the cached file, else the seed's. Blocks.
Expected<std::optional<QString>, SystemError> localIcon(const QString &folder, const QString &cached,
                                                        const QString &seed, const QString &digest)
{
    if (auto made = FileSystem::makeDirectories(folder); !made)
        return unexpected(made.error());
    if (const auto bytes = readAll(cached); bytes && sha256Hex(*bytes) == digest)
        return cached;
    if (const auto bytes = readAll(seed); bytes && sha256Hex(*bytes) == digest)
        return seed;
    return std::optional<QString>();
}

QUrl urlOf(const QString &path)
{
    // Resources are reached as qrc: URLs, files as file: URLs.
    // A root of ":/" joins into "://...", which a URL would read as a host: clean it first.
    if (path.startsWith(u':'))
        return QUrl(QStringLiteral("qrc:") + QDir::cleanPath(path.mid(1)));
    return QUrl::fromLocalFile(path);
}

} // namespace

std::optional<CatalogService::Pair> CatalogService::readPair(const QString &folder)
{
    const QMutexLocker locked(&cacheLock);
    const auto bytes = readAll(join(folder, QStringLiteral("catalog.json")));
    const auto signatureBytes = readAll(join(folder, QStringLiteral("catalog.json.sig")));
    if (!bytes || !signatureBytes)
        return std::nullopt;
    auto signature = decodeUtf8(*signatureBytes);
    if (!signature)
        return std::nullopt;
    return Pair {*bytes, std::move(*signature)};
}

CatalogService::Locations CatalogService::Locations::standard()
{
    return {Paths::catalogCacheDirectory(), Paths::iconCacheDirectory(), builtInSeed()};
}

CatalogService::CatalogService(const AllowlistFetch &fetch, HighWaterStore &highWater, QString publicKeyBase64,
                               Locations locations, QObject *parent)
    : QObject(parent), m_fetch(fetch), m_highWater(highWater), m_publicKeyBase64(std::move(publicKeyBase64)),
      m_locations(std::move(locations))
{
}

QCoro::Task<Expected<CatalogService::Pair, AllowlistFetch::Failure>> CatalogService::fetchPair() const
{
    // Both requests go out at once; the signature is awaited second, and abandoned when the
    // catalog itself fails.
    AllowlistFetch::Cancellation signatureCancellation;
    auto catalogTask = m_fetch.data(HostAllowlist::catalogURL(), AllowlistFetch::catalogLimit);
    auto signatureTask = m_fetch.data(HostAllowlist::catalogSignatureURL(), AllowlistFetch::signatureLimit,
                                      &signatureCancellation);

    auto catalog = co_await std::move(catalogTask);
    if (!catalog) {
        signatureCancellation.cancel();
        co_await std::move(signatureTask);
        co_return unexpected(catalog.error());
    }
    auto signature = co_await std::move(signatureTask);
    if (!signature)
        co_return unexpected(signature.error());
    auto text = decodeUtf8(*signature);
    if (!text)
        co_return unexpected(AllowlistFetch::Failure(FetchError::httpStatus(-1)));
    co_return Pair{std::move(*catalog), std::move(*text)};
}

Expected<Catalog, std::variant<Ed25519Verifier::VerificationError, Catalog::DecodeError>>
CatalogService::verifyAndDecode(const QByteArray &bytes, const QString &signature) const
{
    const std::int64_t mark = m_highWater.read(DefaultsKeys::catalogVersionHighWater());
    auto verified = Ed25519Verifier::verify(bytes, signature, m_publicKeyBase64);
    if (!verified)
        return unexpected(verified.error());
    auto decoded = Catalog::decode(*verified, mark);
    if (!decoded)
        return unexpected(decoded.error());
    return std::move(*decoded);
}

QCoro::Task<Expected<Catalog, CatalogService::Error>> CatalogService::load()
{
    QPointer<CatalogService> self(this);
    auto pair = co_await fetchPair();
    if (!self)
        co_return unexpected(Error::of(Error::Kind::unavailable));

    if (pair) {
        if (auto catalog = verifyAndDecode(pair->bytes, pair->signatureBase64)) {
            auto store = [folder = m_locations.cacheDirectory, bytes = pair->bytes,
                          signature = pair->signatureBase64] { writePair(folder, bytes, signature); };
            // The mark follows the cache even when this service is gone by then: a cached catalog
            // newer than the mark would let an older one back in.
            QPointer<HighWaterStore> highWater(&m_highWater);
            co_await offMain(store);
            if (highWater) {
                auto raised = highWater->raise(DefaultsKeys::catalogVersionHighWater(), catalog->catalogVersion);
                co_await std::move(raised);
            }
            if (!self)
                co_return unexpected(Error::of(Error::Kind::unavailable));
            m_source = Source::network;
            m_lastOfflineReason.reset();
            co_return std::move(*catalog);
        }
    }

    auto readCache = [folder = m_locations.cacheDirectory] { return readPair(folder); };
    const auto cachedPair = co_await offMain(readCache);
    if (!self)
        co_return unexpected(Error::of(Error::Kind::unavailable));
    if (auto cached = decodeCached(cachedPair)) {
        m_source = Source::cache;
        m_lastOfflineReason.reset();
        co_return std::move(*cached);
    }

    auto readSeed = [folder = seedCatalogFolder()] { return readPair(folder); };
    const auto seedPair = co_await offMain(readSeed);
    if (!self)
        co_return unexpected(Error::of(Error::Kind::unavailable));
    auto seed = decodeSeed(seedPair);
    if (seed) {
        m_source = Source::seed;
        m_lastOfflineReason.reset();
        co_return std::move(*seed);
    }
    m_source.reset();
    m_lastOfflineReason = seed.error();
    co_return unexpected(Error::of(Error::Kind::unavailable));
}

std::optional<Catalog> CatalogService::loadCached() const
{
    return decodeCached(readPair(m_locations.cacheDirectory));
}

std::optional<Catalog> CatalogService::decodeCached(const std::optional<Pair> &stored) const
{
    if (!stored)
        return std::nullopt;
    auto catalog = verifyAndDecode(stored->bytes, stored->signatureBase64);
    if (!catalog)
        return std::nullopt;
    return std::move(*catalog);
}

QString CatalogService::seedCatalogFolder() const { return join(m_locations.seedRoot, QStringLiteral("SeedCatalog")); }

Expected<Catalog, CatalogService::Error> CatalogService::loadSeed() const
{
    return decodeSeed(readPair(seedCatalogFolder()));
}

Expected<Catalog, CatalogService::Error> CatalogService::decodeSeed(const std::optional<Pair> &stored) const
{
    if (!stored)
        return unexpected(Error::of(Error::Kind::seedUnavailable));
    auto catalog = verifyAndDecode(stored->bytes, stored->signatureBase64);
    if (catalog)
        return std::move(*catalog);
    if (const auto *decodeError = std::get_if<Catalog::DecodeError>(&catalog.error());
        decodeError && decodeError->kind == Catalog::DecodeError::Kind::replay)
        return unexpected(Error{Error::Kind::seedOlderThanHighWater, decodeError->found, decodeError->highWaterMark});
    return unexpected(Error::of(Error::Kind::seedRefused));
}

QCoro::Task<Expected<QUrl, CatalogService::IconFailure>> CatalogService::icon(Catalog::Entry entry)
{
    QPointer<CatalogService> self(this);
    const QString folder = m_locations.iconCacheDirectory;
    const QString cached = join(folder, entry.iconSHA256 + QStringLiteral(".png"));
    const QString seed = join(join(m_locations.seedRoot, QStringLiteral("SeedIcons")), entry.id + QStringLiteral(".png"));
    auto lookLocally = [folder, cached, seed, digest = entry.iconSHA256] { return localIcon(folder, cached, seed, digest); };
    const auto local = co_await offMain(lookLocally);
    if (!local)
        co_return unexpected(IconFailure(local.error()));
    if (*local)
        co_return urlOf(**local);
    if (!self)
        co_return unexpected(IconFailure(Error::of(Error::Kind::unavailable)));

    // Named first: GCC 12 destroys the temporaries of a suspending co_await expression twice.
    auto fetch = m_fetch.data(entry.iconURL, AllowlistFetch::iconLimit);
    auto body = co_await std::move(fetch);
    if (!self)
        co_return unexpected(IconFailure(Error::of(Error::Kind::unavailable)));
    if (!body)
        co_return unexpected(IconFailure(body.error()));
    if (sha256Hex(*body) != entry.iconSHA256)
        co_return unexpected(IconFailure(Error::of(Error::Kind::iconHashMismatch)));
    auto store = [cached, bytes = std::move(*body)] { return FileSystem::writeFileAtomically(cached, bytes); };
    const auto written = co_await offMain(store);
    if (!written)
        co_return unexpected(IconFailure(written.error()));
    co_return QUrl::fromLocalFile(cached);
}

} // namespace vantry
