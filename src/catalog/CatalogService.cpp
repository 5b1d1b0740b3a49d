#include <catalog/CatalogService.h>

#include <catalog/HighWaterStore.h>
#include <catalog/HostAllowlist.h>
#include <core/DefaultsKeys.h>
#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <QFile>
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

QUrl urlOf(const QString &path)
{
    // Resources are reached as qrc: URLs, files as file: URLs.
    if (path.startsWith(u':'))
        return QUrl(QStringLiteral("qrc") + path);
    return QUrl::fromLocalFile(path);
}

} // namespace

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
    auto catalogTask = m_fetch.data(HostAllowlist::catalogURL());
    auto signatureTask = m_fetch.data(HostAllowlist::catalogSignatureURL(), &signatureCancellation);

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

void CatalogService::writeCache(const Pair &pair) const
{
    // Best effort: a failed write keeps the previous pair. Each file is replaced atomically, so a
    // crash never leaves a torn file; a pair torn between the two files fails verification and
    // the cache is passed over.
    const QString folder = m_locations.cacheDirectory;
    if (!FileSystem::makeDirectories(folder))
        return;
    if (!FileSystem::writeFileAtomically(join(folder, QStringLiteral("catalog.json")), pair.bytes))
        return;
    (void)FileSystem::writeFileAtomically(join(folder, QStringLiteral("catalog.json.sig")), pair.signatureBase64.toUtf8());
}

QCoro::Task<Expected<Catalog, CatalogService::Error>> CatalogService::load()
{
    QPointer<CatalogService> self(this);
    auto pair = co_await fetchPair();
    if (!self)
        co_return unexpected(Error::of(Error::Kind::unavailable));

    if (pair) {
        if (auto catalog = verifyAndDecode(pair->bytes, pair->signatureBase64)) {
            writeCache(*pair);
            m_highWater.raise(DefaultsKeys::catalogVersionHighWater(), catalog->catalogVersion);
            m_source = Source::network;
            m_lastOfflineReason.reset();
            co_return std::move(*catalog);
        }
    }

    if (auto cached = loadCached()) {
        m_source = Source::cache;
        m_lastOfflineReason.reset();
        co_return std::move(*cached);
    }

    auto seed = loadSeed();
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
    const auto bytes = readAll(join(m_locations.cacheDirectory, QStringLiteral("catalog.json")));
    const auto signatureBytes = readAll(join(m_locations.cacheDirectory, QStringLiteral("catalog.json.sig")));
    if (!bytes || !signatureBytes)
        return std::nullopt;
    const auto signature = decodeUtf8(*signatureBytes);
    if (!signature)
        return std::nullopt;
    auto catalog = verifyAndDecode(*bytes, *signature);
    if (!catalog)
        return std::nullopt;
    return std::move(*catalog);
}

Expected<Catalog, CatalogService::Error> CatalogService::loadSeed() const
{
    const QString folder = join(m_locations.seedRoot, QStringLiteral("SeedCatalog"));
    const auto bytes = readAll(join(folder, QStringLiteral("catalog.json")));
    const auto signatureBytes = readAll(join(folder, QStringLiteral("catalog.json.sig")));
    if (!bytes || !signatureBytes)
        return unexpected(Error::of(Error::Kind::seedUnavailable));
    const auto signature = decodeUtf8(*signatureBytes);
    if (!signature)
        return unexpected(Error::of(Error::Kind::seedUnavailable));

    auto catalog = verifyAndDecode(*bytes, *signature);
    if (catalog)
        return std::move(*catalog);
    if (const auto *decodeError = std::get_if<Catalog::DecodeError>(&catalog.error());
        decodeError && decodeError->kind == Catalog::DecodeError::Kind::replay)
        return unexpected(Error{Error::Kind::seedOlderThanHighWater, decodeError->found, decodeError->highWaterMark});
    return unexpected(Error::of(Error::Kind::seedRefused));
}

QCoro::Task<Expected<QUrl, CatalogService::IconFailure>> CatalogService::icon(Catalog::Entry entry)
{
    const QString folder = m_locations.iconCacheDirectory;
    if (auto made = FileSystem::makeDirectories(folder); !made)
        co_return unexpected(IconFailure(made.error()));

    const QString cached = join(folder, entry.iconSHA256 + QStringLiteral(".png"));
    if (const auto bytes = readAll(cached); bytes && sha256(*bytes) == entry.iconSHA256)
        co_return QUrl::fromLocalFile(cached);

    const QString seed = join(join(m_locations.seedRoot, QStringLiteral("SeedIcons")), entry.id + QStringLiteral(".png"));
    if (const auto bytes = readAll(seed); bytes && sha256(*bytes) == entry.iconSHA256)
        co_return urlOf(seed);

    QPointer<CatalogService> self(this);
    auto body = co_await m_fetch.data(entry.iconURL);
    if (!self)
        co_return unexpected(IconFailure(Error::of(Error::Kind::unavailable)));
    if (!body)
        co_return unexpected(IconFailure(body.error()));
    if (sha256(*body) != entry.iconSHA256)
        co_return unexpected(IconFailure(Error::of(Error::Kind::iconHashMismatch)));
    if (auto written = FileSystem::writeFileAtomically(cached, *body); !written)
        co_return unexpected(IconFailure(written.error()));
    co_return QUrl::fromLocalFile(cached);
}

} // namespace vantry
