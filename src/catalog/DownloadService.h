#pragma once

#include <core/Expected.h>
#include <platform/HttpTransport.h>
#include <platform/SystemError.h>

#include <QObject>
#include <QString>
#include <QThread>
#include <QUrl>

#include <QCoroTask>

#include <atomic>
#include <functional>
#include <memory>
#include <variant>

namespace vantry {

class DownloadTransfer;
class DownloadCompletion;

/// Downloads one release image at a time into a folder: streamed to "<name>.partial", moved to
/// "<name>" only when the whole body arrived with status 200, and nothing left behind on any
/// other way out. Off-origin URLs and redirects are refused, and so is a body that runs past the
/// release's length by more than lengthMargin.
///
/// The service lives on the main thread; the folder's set-up runs on the background pool, the
/// transfer and every write on a thread of its own, and progress and completion come back to the
/// main thread.
class DownloadService : public QObject
{
    Q_OBJECT

public:
    struct Error {
        enum class Kind {
            offOrigin,
            httpStatus,
            failed,
            cancelled,
            busy, // another download of this service is still running
        };
        Kind kind = Kind::failed;
        QUrl url;            // offOrigin
        int status = -1;     // httpStatus
        QString description; // failed: the underlying error's own words

        [[nodiscard]] static Error offOrigin(QUrl url) { return {Kind::offOrigin, std::move(url), -1, {}}; }
        [[nodiscard]] static Error httpStatus(int status) { return {Kind::httpStatus, {}, status, {}}; }
        [[nodiscard]] static Error failed(QString description) { return {Kind::failed, {}, -1, std::move(description)}; }
        [[nodiscard]] static Error cancelled() { return {Kind::cancelled, {}, -1, {}}; }
        [[nodiscard]] static Error busy() { return {Kind::busy, {}, -1, {}}; }
        friend bool operator==(const Error &, const Error &) = default;
    };

    /// A download error, or the folder or the partial file could not be set up.
    using Failure = std::variant<Error, SystemError>;
    /// Receives the fraction downloaded, 0 to 1, when the server announced a length.
    using Progress = std::function<void(double)>;

    /// How much of the body may wait in memory before the connection is paused.
    static constexpr qint64 readBufferSize = 1024 * 1024;

    /// How far a body may run past the release's length before the download ends as failed.
    /// Within it the download completes, and the length check that follows judges the image.
    static constexpr qint64 lengthMargin = 1024 * 1024;

    /// Transfers reach the network like `transport`, through a transport of their own thread.
    explicit DownloadService(const HttpTransport &transport, QObject *parent = nullptr);
    ~DownloadService() override;

    /// Downloads `url`, a release of `expectedLength` bytes (the appcast item's length), into the
    /// folder `into`; gives the final file's path. The room for `expectedLength` is reserved
    /// before the first byte. One at a time: a download while another runs fails with `busy` at
    /// once and leaves the running one alone.
    [[nodiscard]] QCoro::Task<Expected<QString, Failure>> download(QUrl url, QString into,
                                                                   qint64 expectedLength, Progress progress);

    /// Ends the transfer in flight, if any; its download then fails with `cancelled`.
    void cancel();

    /// The file name a download of `url` ends as: its last path component, when that is a
    /// plain name.
    [[nodiscard]] static std::optional<QString> fileName(const QUrl &url);

private:
    friend class DownloadTransfer;
    void deliverProgress(double fraction);
    void deliverOutcome(Expected<QString, Error> outcome);

    const HttpTransport &m_transport;
    QThread m_thread;
    DownloadTransfer *m_transfer = nullptr; // lives on m_thread
    std::shared_ptr<std::atomic_bool> m_cancelled;
    Progress m_progress;
    // Shared with the waiting download, so that it can still be woken when the service is gone.
    std::shared_ptr<DownloadCompletion> m_completion;
};

/// How one download ended, handed to the download that waits for it (internal).
class DownloadCompletion : public QObject
{
    Q_OBJECT

public:
    std::optional<Expected<QString, DownloadService::Error>> outcome;
    bool serviceGone = false;

Q_SIGNALS:
    void ended();
};

} // namespace vantry
