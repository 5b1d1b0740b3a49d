#include <catalog/DownloadService.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/HostAllowlist.h>
#include <core/OffMain.h>
#include <platform/FileSystem.h>

#include <QCoroSignal>
#include <QFile>
#include <QNetworkReply>
#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace vantry {

namespace {

// A download's set-up, on the pool: the folder, no stale partial file, and a new partial file
// open for writing with the room for `expected` bytes claimed (without growing it), so a download
// that cannot fit ends now, not at the last gigabyte. Gives the file's descriptor. Blocks.
Expected<int, DownloadService::Failure> prepare(const QString &into, const QString &partialPath,
                                                qint64 expected)
{
    using Failure = DownloadService::Failure;
    if (auto made = FileSystem::makeDirectories(into); !made)
        return unexpected(Failure(made.error()));
    const QByteArray path = QFile::encodeName(partialPath);
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        return unexpected(Failure(SystemError::fromErrno(QStringLiteral("unlink"), partialPath)));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return unexpected(Failure(SystemError::fromErrno(QStringLiteral("open"), partialPath)));
    // A file system that cannot reserve still gets its chance to take the bytes.
    if (expected > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, expected) != 0
        && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
        ::close(fd);
        ::unlink(path.constData());
        return unexpected(Failure(DownloadService::Error::failed(
            QStringLiteral("There is not enough disk space for the download."))));
    }
    return fd;
}

} // namespace

/// One download on the service's own thread: follows on-origin redirects, streams a 200 body into
/// the partial file, and moves it to its final name. Reports back through the service's thread.
class DownloadTransfer : public QObject
{
public:
    DownloadTransfer(const HttpTransport &prototype, QPointer<DownloadService> service)
        : m_prototype(prototype), m_service(std::move(service))
    {
    }

    // Takes over `fd`, the partial file prepared for this download.
    void start(QUrl url, int fd, QString partialPath, QString finalPath, qint64 limit,
               std::shared_ptr<std::atomic_bool> cancelled)
    {
        if (!m_transport)
            m_transport = m_prototype.forThisThread();
        m_url = std::move(url);
        m_partialPath = std::move(partialPath);
        m_finalPath = std::move(finalPath);
        m_limit = limit;
        m_cancelled = std::move(cancelled);
        m_redirects = 0;
        if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
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
        m_reply.reset(m_transport->get(m_url, m_limit));
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
        });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { drain(*reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { ended(*reply); });
        // Only now: an abort finishes the reply at once, and its end must be heard.
        if (*m_cancelled)
            HttpTransport::cancel(*m_reply);
    }

    // Past its limit a body ends at once, whatever it is for: nothing more is written or read.
    bool withinLimit(QNetworkReply &reply)
    {
        if (m_received <= m_limit)
            return true;
        HttpTransport::end(reply, TransferError::Cause::tooLarge);
        return false;
    }

    void drain(QNetworkReply &reply)
    {
        if (!m_accepted || !m_writeError.isEmpty()) {
            // Not for the file, but read all the same: a full buffer would stall the connection.
            if (reply.isOpen() && reply.bytesAvailable() > 0)
                m_received += reply.skip(reply.bytesAvailable());
            withinLimit(reply);
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
            if (!withinLimit(reply))
                return;
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
    qint64 m_limit = 0;
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
                                                                                 qint64 expectedLength,
                                                                                 Progress progress)
{
    // A second download would take over the first one's completion, and its caller would never
    // wake: refused before anything else.
    if (m_completion)
        co_return unexpected(Failure(Error::busy()));
    if (!HostAllowlist::allows(url))
        co_return unexpected(Failure(Error::offOrigin(url)));
    const auto name = fileName(url);
    if (!name)
        co_return unexpected(Failure(Error::failed(QStringLiteral("The download's address names no file."))));

    const QString finalPath = into + u'/' + *name;
    const QString partialPath = finalPath + QStringLiteral(".partial");
    const qint64 expected = std::max<qint64>(expectedLength, 0);
    const qint64 limit = expected > std::numeric_limits<qint64>::max() - lengthMargin
        ? std::numeric_limits<qint64>::max()
        : expected + lengthMargin;

    // Taken before the first wait, so that a download started meanwhile is refused and a cancel
    // meanwhile is heard. A fresh flag per download: a late cancel of the previous one cannot
    // reach this one.
    m_cancelled = std::make_shared<std::atomic_bool>(false);
    m_progress = std::move(progress);
    const auto completion = std::make_shared<DownloadCompletion>();
    m_completion = completion;

    QPointer<DownloadService> self(this);
    auto setUp = [into, partialPath, expected] { return prepare(into, partialPath, expected); };
    const auto prepared = co_await offMain(setUp);
    if (!self) {
        // The service is gone: nothing will use the file.
        if (prepared) {
            auto discard = [fd = *prepared, partialPath] {
                ::close(fd);
                QFile::remove(partialPath);
            };
            (void)offMain(discard);
        }
        co_return unexpected(Failure(Error::cancelled()));
    }
    if (!prepared) {
        m_progress = {};
        m_completion.reset();
        co_return unexpected(prepared.error());
    }

    QMetaObject::invokeMethod(m_transfer,
                              [transfer = m_transfer, url, fd = *prepared, partialPath, finalPath, limit,
                               cancelled = m_cancelled] {
                                  transfer->start(url, fd, partialPath, finalPath, limit, cancelled);
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
