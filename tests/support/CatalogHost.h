#pragma once

#include <catalog/AllowlistFetch.h>
#include <catalog/HighWaterStore.h>
#include <platform/UserDefaults.h>
#include <signing/PrivateKeys.h>

#include <support/TestHome.h>
#include <support/TestServer.h>

#include <memory>

namespace vantry::test {

/// A launcher's world around a loopback catalog host: a home, the server and a fetch that
/// reaches it, the user defaults with their marks, and a catalog key of its own.
struct CatalogHost {
    TestHome home;
    TestServer server;
    std::unique_ptr<HttpTransport> transport = server.transport();
    AllowlistFetch fetch {*transport};
    UserDefaults defaults {home.scratch(QStringLiteral("defaults.json"))};
    HighWaterStore highWater {defaults};
    Crypto::Ed25519KeyPair key = *Crypto::generateEd25519KeyPair();

    [[nodiscard]] QString publicKey() const { return QString::fromLatin1(key.publicKey.toBase64()); }
    [[nodiscard]] QByteArray signature(const QByteArray &bytes) const
    {
        return Crypto::ed25519Sign(key.privateKeyPem, bytes)->toBase64() + '\n';
    }
    /// Serves `bytes` as the catalog with a signature over `signed_` (default: the same bytes).
    void publish(const QByteArray &bytes, const QByteArray &signed_ = {})
    {
        server.serve(QStringLiteral("/catalog.json"), bytes);
        server.serve(QStringLiteral("/catalog.json.sig"), signature(signed_.isNull() ? bytes : signed_));
    }
    /// A catalog document at `version` holding the entry objects `games` (JSON texts).
    [[nodiscard]] static QByteArray document(std::int64_t version, const QList<QByteArray> &games)
    {
        return R"({"schemaVersion": 1, "catalogVersion": )" + QByteArray::number(version) + R"(, "games": [)" +
            games.join(',') + "]}";
    }
};

} // namespace vantry::test
