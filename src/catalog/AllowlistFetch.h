#pragma once

#include <catalog/FetchError.h>
#include <core/Expected.h>
#include <platform/HttpTransport.h>

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <QCoroTask>

#include <variant>

namespace vantry {

/// Lets a caller end a fetch it no longer wants; the fetch then fails with a transfer error.
class FetchCancellation : public QObject
{
    Q_OBJECT
public:
    void cancel()
    {
        m_cancelled = true;
        Q_EMIT cancelled();
    }
    [[nodiscard]] bool isCancelled() const { return m_cancelled; }
Q_SIGNALS:
    void cancelled();

private:
    bool m_cancelled = false;
};

/// The only way the launcher fetches whole small documents (catalog, signature, appcasts,
/// icons): off-origin URLs are refused before any request, redirects are followed only while
/// they stay on the origin, only status 200 is a body, and no body passes its kind's limit.
class AllowlistFetch
{
public:
    /// A refusal or an HTTP answer other than 200, or a transfer that ended without one.
    using Failure = std::variant<FetchError, TransferError>;

    using Cancellation = FetchCancellation;

    /// How many redirects one fetch follows before it gives up.
    static constexpr int maximumRedirects = 10;

    /// The largest body of each kind of document, in bytes: each far beyond what the maker
    /// publishes, and small enough to hold in memory. A body that passes its limit, or is
    /// announced beyond it, is a transfer failure (TransferError::Cause::tooLarge).
    static constexpr qint64 catalogLimit = 8 * 1024 * 1024;   // catalog.json
    static constexpr qint64 signatureLimit = 4 * 1024;        // catalog.json.sig: 88 Base64 bytes
    static constexpr qint64 appcastLimit = 8 * 1024 * 1024;   // one game's release feed
    static constexpr qint64 iconLimit = 8 * 1024 * 1024;      // one game's PNG icon

    explicit AllowlistFetch(const HttpTransport &transport) : m_transport(transport) {}

    /// The whole body at `url`, held in memory, of at most `limit` bytes (one of the limits
    /// above): the transfer ends as soon as more arrives.
    [[nodiscard]] QCoro::Task<Expected<QByteArray, Failure>>
    data(QUrl url, qint64 limit, QPointer<Cancellation> cancellation = {}) const;

    /// A finished reply whose body is complete and may be taken.
    struct Complete {};
    /// A redirect the rule allows: request this next.
    struct Follow {
        QUrl target;
    };
    /// What a finished reply to a request for `url` means, after `redirects` redirects already
    /// followed: shared with downloads, so both judge answers alike.
    [[nodiscard]] static std::variant<Complete, Follow, Failure> judge(const QNetworkReply &reply, const QUrl &url,
                                                                       int redirects);

    /// The redirect rule, shared with downloads: the target of a redirect from `from` when it
    /// may be followed, nothing when it must be refused.
    [[nodiscard]] static std::optional<QUrl> redirectTarget(const QUrl &from, const QByteArray &location);

private:
    const HttpTransport &m_transport;
};

} // namespace vantry
