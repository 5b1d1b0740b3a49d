#include <signing/DiskImage.h>

#include <platform/ProcessRunner.h>

#include <QFileInfo>
#include <QStandardPaths>

namespace vantry::DiskImage {

Expected<void, QString> create(const QString &source, const QString &output)
{
    const QString mksquashfs = QStandardPaths::findExecutable(QStringLiteral("mksquashfs"), {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin"),
                                                                                           QStringLiteral("/bin"), QStringLiteral("/sbin")});
    if (mksquashfs.isEmpty())
        return unexpected(QStringLiteral("mksquashfs is not installed"));
    if (!QFileInfo(source).isDir())
        return unexpected(source + QStringLiteral(" is not a folder"));
    if (QFileInfo::exists(output) || QFileInfo(output).isSymLink())
        return unexpected(output + QStringLiteral(" already exists"));
    const auto run = ProcessRunner::run(
        mksquashfs,
        {source, output, QStringLiteral("-keep-as-directory"), QStringLiteral("-all-root"),
         // The top that -keep-as-directory makes would be 0777.
         QStringLiteral("-root-mode"), QStringLiteral("0755"), QStringLiteral("-no-xattrs"),
         QStringLiteral("-comp"), QStringLiteral("zstd"), QStringLiteral("-quiet"),
         QStringLiteral("-no-progress")},
        600);
    if (!run)
        return unexpected(run.error().text);
    if (run->status != 0) {
        QFile::remove(output);
        return unexpected(QString::fromLocal8Bit(run->stderrBytes + run->stdoutBytes).trimmed());
    }
    return {};
}

} // namespace vantry::DiskImage
