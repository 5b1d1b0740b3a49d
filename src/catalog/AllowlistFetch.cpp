#include <catalog/AllowlistFetch.h>

#include <catalog/HostAllowlist.h>

#include <QCoroNetworkReply>

#include <memory>

namespace vantry {

namespace {

struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};

} // namespace

std::optional<QUrl> AllowlistFetch::redirectTarget(const QUrl &from, const QByteArray &location)
{
    if (location.isEmpty())
        return std::nullopt;
    const QString text = QString::fromUtf8(location);
    const QUrl relative(text, QUrl::StrictMode);
    if (!relative.isValid())
        return std::nullopt;
    // An absolute target is judged as written; a relative one inherits the origin it came from.
    if (!relative.scheme().isEmpty())
        return HostAllowlist::allowedUrl(text);
    const QUrl target = from.resolved(relative);
    if (!HostAllowlist::allows(target))
        return std::nullopt;
    return target;
}

QCoro::Task<Expected<QByteArray, AllowlistFetch::Failure>> AllowlistFetch::data(QUrl url, qint64 limit,
                                                                              QPointer<Cancellation> cancellation) const
{
    if (!HostAllowlist::allows(url))
        co_return unexpected(Failure(FetchError::offOrigin(url)));

    for (int redirects = 0;; ++redirects) {
        std::unique_ptr<QNetworkReply, ReplyDeleter> reply(m_transport.get(url, limit));
        // The body stays in the reply until the end: a buffer of one byte past the limit pauses
        // the connection there, and the first byte past it ends the transfer.
        reply->setReadBufferSize(limit + 1);
        QObject::connect(reply.get(), &QNetworkReply::readyRead, reply.get(), [r = reply.get(), limit] {
            if (r->bytesAvailable() > limit)
                HttpTransport::end(*r, TransferError::Cause::tooLarge);
        });
        if (cancellation) {
            if (cancellation->isCancelled())
                HttpTransport::cancel(*reply);
            QObject::connect(cancellation, &Cancellation::cancelled, reply.get(),
                             [r = reply.get()] { HttpTransport::cancel(*r); });
        }
        co_await qCoro(reply.get()).waitForFinished();

        auto judgement = judge(*reply, url, redirects);
        if (auto *failure = std::get_if<Failure>(&judgement))
            co_return unexpected(std::move(*failure));
        if (auto *follow = std::get_if<Follow>(&judgement)) {
            url = follow->target;
            continue;
        }
        co_return reply->readAll();
    }
}

std::variant<AllowlistFetch::Complete, AllowlistFetch::Follow, AllowlistFetch::Failure>
AllowlistFetch::judge(const QNetworkReply &reply, const QUrl &url, int redirects)
{
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (reply.error() != QNetworkReply::NoError)
            return Failure(HttpTransport::transferError(reply));
        return Failure(FetchError::httpStatus(-1));
    }
    const int code = status.toInt();
    if (code >= 300 && code < 400 && reply.hasRawHeader("Location")) {
        const auto target = redirectTarget(url, reply.rawHeader("Location"));
        if (!target)
            return Failure(FetchError::httpStatus(code));
        if (redirects == maximumRedirects)
            return Failure(TransferError{QNetworkReply::TooManyRedirectsError,
                                         QStringLiteral("Too many redirects."), TransferError::Cause::network});
        return Follow{*target};
    }
    if (code != 200)
        return Failure(FetchError::httpStatus(code));
    // A 200 whose body broke off is a transfer failure, not a short document.
    if (reply.error() != QNetworkReply::NoError)
        return Failure(HttpTransport::transferError(reply));
    return Complete{};
}

} // namespace vantry
