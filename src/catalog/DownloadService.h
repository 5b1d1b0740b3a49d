#pragma once

#include <core/Expected.h>
#include <platform/HttpTransport.h>
#include <platform/SystemError.h>

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <variant>

namespace vantry {

/// Downloads one release image at a time into a folder: streamed to "<name>.partial", moved to
/// "<name>" only when the whole body arrived with status 200, and nothing left behind on any
/// other way out. Off-origin URLs and redirects are refused. Main thread only.
class DownloadService : public QObject
{
    Q_OBJECT

public:
    struct Error {
        enum class Kind { offOrigin, httpStatus, failed, cancelled };
        Kind kind = Kind::failed;
        QUrl url;            // offOrigin
        int status = -1;     // httpStatus
        QString description; // failed: the underlying error's own words

        [[nodiscard]] static Error offOrigin(QUrl url) { return {Kind::offOrigin, std::move(url), -1, {}}; }
        [[nodiscard]] static Error httpStatus(int status) { return {Kind::httpStatus, {}, status, {}}; }
        [[nodiscard]] static Error failed(QString description) { return {Kind::failed, {}, -1, std::move(description)}; }
        [[nodiscard]] static Error cancelled() { return {Kind::cancelled, {}, -1, {}}; }
        friend bool operator==(const Error &, const Error &) = default;
    };

    /// A download error, or the folder could not be created.
    using Failure = std::variant<Error, SystemError>;
    /// Receives the fraction downloaded, 0 to 1, when the server announced a length.
    using Progress = std::function<void(double)>;

    /// How much of the body may wait in memory before the connection is paused.
    static constexpr qint64 readBufferSize = 1024 * 1024;

    explicit DownloadService(const HttpTransport &transport, QObject *parent = nullptr);

    /// Downloads `url` into the folder `into`; gives the final file's path. One at a time.
    [[nodiscard]] QCoro::Task<Expected<QString, Failure>> download(QUrl url, QString into, Progress progress);

    /// Ends the transfer in flight, if any; its download then fails with `cancelled`.
    void cancel();

    /// The file name a download of `url` ends as: its last path component, when that is a
    /// plain name.
    [[nodiscard]] static std::optional<QString> fileName(const QUrl &url);

private:
    const HttpTransport &m_transport;
    QPointer<QNetworkReply> m_reply;
    bool m_cancelRequested = false;
};

} // namespace vantry
