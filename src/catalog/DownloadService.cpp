#include <catalog/DownloadService.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/HostAllowlist.h>
#include <platform/FileSystem.h>

#include <QCoroNetworkReply>
#include <QFile>

#include <algorithm>
#include <memory>

namespace vantry {

namespace {

struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};

// The transfer of one request into the open partial file.
struct Transfer {
    QFile *file = nullptr;
    const DownloadService::Progress *progress = nullptr;
    qint64 expected = -1;
    qint64 received = 0;
    bool accepted = false; // the answer is a 200 whose body belongs in the file
    QString writeError;
    // Pieces arrive in tens of kilobytes; gathering them into one buffer, allocated once, makes
    // for fewer and larger writes.
    QByteArray buffer;
    qsizetype pending = 0;
    static constexpr qsizetype bufferSize = 1024 * 1024;

    void drain(QNetworkReply &reply)
    {
        if (!accepted)
            return;
        if (buffer.isEmpty())
            buffer.resize(bufferSize);
        while (reply.bytesAvailable() > 0) {
            const qint64 read = reply.read(buffer.data() + pending, buffer.size() - pending);
            if (read <= 0)
                return;
            pending += read;
            received += read;
            if (pending == buffer.size() && !flush(reply))
                return;
            if (expected > 0 && *progress)
                (*progress)(std::clamp(double(received) / double(expected), 0.0, 1.0));
        }
    }

    bool flush(QNetworkReply &reply)
    {
        if (pending > 0 && file->write(buffer.constData(), pending) != pending) {
            writeError = file->errorString();
            HttpTransport::cancel(reply);
            return false;
        }
        pending = 0;
        return true;
    }
};

} // namespace

DownloadService::DownloadService(const HttpTransport &transport, QObject *parent)
    : QObject(parent), m_transport(transport)
{
}

std::optional<QString> DownloadService::fileName(const QUrl &url)
{
    const QString name = url.fileName(QUrl::FullyDecoded);
    if (name.isEmpty() || name == u"." || name == u".." || name.contains(u'/') || name.contains(QChar(0)))
        return std::nullopt;
    return name;
}

void DownloadService::cancel()
{
    m_cancelRequested = true;
    if (m_reply)
        HttpTransport::cancel(*m_reply);
}

QCoro::Task<Expected<QString, DownloadService::Failure>> DownloadService::download(QUrl url, QString into,
                                                                                 Progress progress)
{
    if (!HostAllowlist::allows(url))
        co_return unexpected(Failure(Error::offOrigin(url)));
    const auto name = fileName(url);
    if (!name)
        co_return unexpected(Failure(Error::failed(QStringLiteral("The download's address names no file."))));
    if (auto made = FileSystem::makeDirectories(into); !made)
        co_return unexpected(Failure(made.error()));

    const QString finalPath = into + u'/' + *name;
    const QString partialPath = finalPath + QStringLiteral(".partial");
    QFile::remove(partialPath);
    m_cancelRequested = false;

    QPointer<DownloadService> self(this);
    QFile file(partialPath);
    auto fail = [&](Error error) {
        file.close();
        QFile::remove(partialPath);
        return unexpected(Failure(std::move(error)));
    };
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        co_return fail(Error::failed(file.errorString()));

    for (int redirects = 0;; ++redirects) {
        std::unique_ptr<QNetworkReply, ReplyDeleter> reply(m_transport.get(url));
        reply->setReadBufferSize(readBufferSize);
        m_reply = reply.get();
        if (m_cancelRequested)
            HttpTransport::cancel(*reply);

        Transfer transfer;
        transfer.file = &file;
        transfer.progress = &progress;
        QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&transfer, r = reply.get()] {
            transfer.accepted = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            transfer.expected = r->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        });
        QObject::connect(reply.get(), &QNetworkReply::readyRead, reply.get(),
                         [&transfer, r = reply.get()] { transfer.drain(*r); });

        co_await qCoro(reply.get()).waitForFinished();
        if (!self) {
            // The service went away mid-transfer; the frame's locals still clean up the file.
            co_return fail(Error::cancelled());
        }
        transfer.drain(*reply);
        transfer.flush(*reply);
        m_reply.clear();

        if (!transfer.writeError.isEmpty())
            co_return fail(Error::failed(transfer.writeError));
        if (m_cancelRequested)
            co_return fail(Error::cancelled());

        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            if (reply->error() != QNetworkReply::NoError)
                co_return fail(Error::failed(HttpTransport::transferError(*reply).description));
            co_return fail(Error::httpStatus(-1));
        }
        const int code = status.toInt();
        if (code >= 300 && code < 400 && reply->hasRawHeader("Location")) {
            const auto target = AllowlistFetch::redirectTarget(url, reply->rawHeader("Location"));
            if (!target)
                co_return fail(Error::httpStatus(code));
            if (redirects == AllowlistFetch::maximumRedirects)
                co_return fail(Error::failed(QStringLiteral("Too many redirects.")));
            url = *target;
            continue;
        }
        if (code != 200)
            co_return fail(Error::httpStatus(code));
        if (reply->error() != QNetworkReply::NoError)
            co_return fail(Error::failed(HttpTransport::transferError(*reply).description));
        break;
    }

    if (!file.flush() || (file.close(), file.error() != QFileDevice::NoError))
        co_return fail(Error::failed(file.errorString()));
    if (auto moved = FileSystem::moveNoReplace(partialPath, finalPath); !moved)
        co_return fail(Error::failed(moved.error().describe()));
    co_return finalPath;
}

} // namespace vantry
