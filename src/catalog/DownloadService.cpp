#include <catalog/DownloadService.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/HostAllowlist.h>
#include <platform/FileSystem.h>

#include <QCoroSignal>
#include <QFile>
#include <QNetworkReply>
#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

namespace vantry {

/// One download on the service's own thread: follows on-origin redirects, streams a 200 body into
/// the partial file, and moves it to its final name. Reports back through the service's thread.
class DownloadTransfer : public QObject
{
public:
    DownloadTransfer(const HttpTransport &prototype, QPointer<DownloadService> service)
        : m_prototype(prototype), m_service(std::move(service))
    {
    }

    void start(QUrl url, QString partialPath, QString finalPath, std::shared_ptr<std::atomic_bool> cancelled)
    {
        if (!m_transport)
            m_transport = m_prototype.forThisThread();
        m_url = std::move(url);
        m_partialPath = std::move(partialPath);
        m_finalPath = std::move(finalPath);
        m_cancelled = std::move(cancelled);
        m_redirects = 0;
        m_file.setFileName(m_partialPath);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            finish(unexpected(DownloadService::Error::failed(m_file.errorString())));
            return;
        }
        request();
    }

    void cancel()
    {
        if (m_reply)
            HttpTransport::cancel(*m_reply);
    }

private:
    void request()
    {
        m_reply.reset(m_transport->get(m_url));
        m_reply->setReadBufferSize(DownloadService::readBufferSize);
        m_accepted = false;
        m_expected = -1;
        m_received = 0;
        m_pending = 0;
        m_reportedStep = -1;
        QNetworkReply *reply = m_reply.get();
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
            m_accepted = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            m_expected = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            if (m_accepted && m_expected > 0)
                reserve(*reply);
        });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { drain(*reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { ended(*reply); });
        // Only now: an abort finishes the reply at once, and its end must be heard.
        if (*m_cancelled)
            HttpTransport::cancel(*m_reply);
    }

    // Claims the whole image's room on disk before the first byte, without growing the file: a
    // download that cannot fit ends now, not at the last gigabyte.
    void reserve(QNetworkReply &reply)
    {
        if (::fallocate(m_file.handle(), FALLOC_FL_KEEP_SIZE, 0, m_expected) == 0)
            return;
        // A file system that cannot reserve still gets its chance to take the bytes.
        if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG)
            return;
        m_writeError = QStringLiteral("There is not enough disk space for the download.");
        HttpTransport::cancel(reply);
    }

    void drain(QNetworkReply &reply)
    {
        if (!m_accepted || !m_writeError.isEmpty()) {
            // Not for the file, but read all the same: a full buffer would stall the connection.
            if (reply.isOpen() && reply.bytesAvailable() > 0)
                reply.skip(reply.bytesAvailable());
            return;
        }
        // Pieces arrive in uneven sizes; they are written in even ones, from one buffer allocated
        // once.
        if (m_buffer.isEmpty())
            m_buffer.resize(bufferSize);
        while (reply.bytesAvailable() > 0) {
            const qint64 read = reply.read(m_buffer.data() + m_pending, m_buffer.size() - m_pending);
            if (read <= 0)
                return;
            m_pending += read;
            m_received += read;
            if (m_pending == m_buffer.size() && !flush(reply))
                return;
            // Reported in steps of a thousandth: the main thread needs no more.
            const int step = m_expected > 0 ? int(std::clamp(double(m_received) / double(m_expected), 0.0, 1.0) * 1000) : -1;
            if (step > m_reportedStep) {
                m_reportedStep = step;
                const double fraction = std::clamp(double(m_received) / double(m_expected), 0.0, 1.0);
                QMetaObject::invokeMethod(m_service, [service = m_service, fraction] {
                    if (service)
                        service->deliverProgress(fraction);
                }, Qt::QueuedConnection);
            }
        }
    }

    bool flush(QNetworkReply &reply)
    {
        if (m_pending > 0 && m_file.write(m_buffer.constData(), m_pending) != m_pending) {
            m_writeError = m_file.errorString();
            HttpTransport::cancel(reply);
            return false;
        }
        m_pending = 0;
        return true;
    }

    void ended(QNetworkReply &reply)
    {
        using Error = DownloadService::Error;
        drain(reply);
        flush(reply);
        if (!m_writeError.isEmpty())
            return finish(unexpected(Error::failed(m_writeError)));
        if (*m_cancelled)
            return finish(unexpected(Error::cancelled()));

        auto judgement = AllowlistFetch::judge(reply, m_url, m_redirects);
        if (const auto *failure = std::get_if<AllowlistFetch::Failure>(&judgement)) {
            // Only statuses and transfer failures come out of a judgement: no origin refusal.
            if (const auto *fetchError = std::get_if<FetchError>(failure))
                return finish(unexpected(Error::httpStatus(fetchError->status)));
            return finish(unexpected(Error::failed(std::get<TransferError>(*failure).description)));
        }
        if (const auto *follow = std::get_if<AllowlistFetch::Follow>(&judgement)) {
            ++m_redirects;
            m_url = follow->target;
            m_reply.release()->deleteLater();
            return request();
        }

        m_file.close();
        if (m_file.error() != QFileDevice::NoError)
            return finish(unexpected(Error::failed(m_file.errorString())));
        if (auto moved = FileSystem::moveNoReplace(m_partialPath, m_finalPath); !moved)
            return finish(unexpected(Error::failed(moved.error().describe())));
        finish(m_finalPath);
    }

    // Every way out ends here: the partial file is gone unless it became the final file.
    void finish(Expected<QString, DownloadService::Error> outcome)
    {
        if (m_reply)
            m_reply.release()->deleteLater();
        m_file.close();
        if (!outcome)
            QFile::remove(m_partialPath);
        m_buffer.clear();
        m_writeError.clear();
        QMetaObject::invokeMethod(m_service, [service = m_service, outcome = std::move(outcome)]() mutable {
            if (service)
                service->deliverOutcome(std::move(outcome));
        }, Qt::QueuedConnection);
    }

    struct ReplyDeleter {
        void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
    };
    // Small on purpose: the kernel sizes page-cache folios by the write, and large folios made
    // 512 MiB downloads to ext4 two to three times slower here with 64 KiB or 1 MiB writes.
    static constexpr qsizetype bufferSize = 16 * 1024;

    const HttpTransport &m_prototype;
    QPointer<DownloadService> m_service;
    std::unique_ptr<HttpTransport> m_transport;
    std::unique_ptr<QNetworkReply, ReplyDeleter> m_reply;
    std::shared_ptr<std::atomic_bool> m_cancelled;
    QUrl m_url;
    QString m_partialPath;
    QString m_finalPath;
    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_pending = 0;
    qint64 m_expected = -1;
    qint64 m_received = 0;
    int m_redirects = 0;
    int m_reportedStep = -1;
    bool m_accepted = false;
    QString m_writeError;
};

DownloadService::DownloadService(const HttpTransport &transport, QObject *parent)
    : QObject(parent), m_transport(transport), m_cancelled(std::make_shared<std::atomic_bool>(false))
{
    m_thread.setObjectName(QStringLiteral("Downloads"));
    m_transfer = new DownloadTransfer(m_transport, this);
    m_transfer->moveToThread(&m_thread);
    // The transfer, its transport and its replies are destroyed on their own thread.
    connect(&m_thread, &QThread::finished, m_transfer, &QObject::deleteLater);
    m_thread.start();
}

DownloadService::~DownloadService()
{
    m_cancelled->store(true);
    // The transfer ends, and removes its partial file, before its thread stops.
    QMetaObject::invokeMethod(m_transfer, [transfer = m_transfer] { transfer->cancel(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    // A download still waiting ends as cancelled rather than waiting forever.
    if (m_completion && !m_completion->outcome) {
        m_completion->outcome = unexpected(Error::cancelled());
        m_completion->serviceGone = true;
        Q_EMIT m_completion->ended();
    }
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
    m_cancelled->store(true);
    QMetaObject::invokeMethod(m_transfer, [transfer = m_transfer] { transfer->cancel(); }, Qt::QueuedConnection);
}

void DownloadService::deliverProgress(double fraction)
{
    if (m_progress)
        m_progress(fraction);
}

void DownloadService::deliverOutcome(Expected<QString, Error> outcome)
{
    if (!m_completion)
        return;
    m_completion->outcome = std::move(outcome);
    Q_EMIT m_completion->ended();
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

    // A fresh flag per download, so a late cancel of the previous one cannot reach this one.
    m_cancelled = std::make_shared<std::atomic_bool>(false);
    m_progress = std::move(progress);
    const auto completion = std::make_shared<DownloadCompletion>();
    m_completion = completion;
    QMetaObject::invokeMethod(m_transfer,
                              [transfer = m_transfer, url, partialPath, finalPath, cancelled = m_cancelled] {
                                  transfer->start(url, partialPath, finalPath, cancelled);
                              },
                              Qt::QueuedConnection);
    // The outcome is posted to this thread, so it cannot arrive before the wait begins.
    co_await qCoro(completion.get(), &DownloadCompletion::ended);
    auto outcome = std::move(*completion->outcome);
    if (completion->serviceGone)
        co_return unexpected(Failure(outcome.error())); // the service is gone: touch nothing of it
    m_progress = {};
    m_completion.reset();
    if (!outcome)
        co_return unexpected(Failure(outcome.error()));
    co_return std::move(*outcome);
}

} // namespace vantry
