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
/// they stay on the origin, and only status 200 is a body.
class AllowlistFetch
{
public:
    /// A refusal or an HTTP answer other than 200, or a transfer that ended without one.
    using Failure = std::variant<FetchError, TransferError>;

    using Cancellation = FetchCancellation;

    /// How many redirects one fetch follows before it gives up.
    static constexpr int maximumRedirects = 10;

    explicit AllowlistFetch(const HttpTransport &transport) : m_transport(transport) {}

    /// The whole body at `url`, held in memory.
    [[nodiscard]] QCoro::Task<Expected<QByteArray, Failure>> data(QUrl url, QPointer<Cancellation> cancellation = {}) const;

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
