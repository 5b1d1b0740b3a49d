#include <platform/Trash.h>

#include <gio/gio.h>

#include <platform/Paths.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace vantry::Trash {

namespace {

QString text(const char *english) { return QCoreApplication::translate("Trash", english); }

QString failure(const QString &path, const QString &reason)
{
    return text("%1 could not be moved to the Trash: %2").arg(path, reason);
}

} // namespace

Expected<void, QString> moveToTrash(const QString &path)
{
    // A relative path names something under whatever the working folder is, and a NUL cuts the
    // path short for the system: either could send another item to the Trash.
    if (!QDir::isAbsolutePath(path) || path.contains(QChar(u'\0')))
        return unexpected(failure(path, text("the path is not a whole absolute path")));
    // GIO keeps the $XDG_DATA_HOME it saw first and takes a relative value as it stands: its home
    // Trash could then lie anywhere, even under the working folder.
    const QString gioDataHome = QFile::decodeName(g_get_user_data_dir());
    if (!QDir::isAbsolutePath(gioDataHome) || QDir::cleanPath(gioDataHome) != Paths::dataHomeDirectory())
        return unexpected(failure(path, text("the home Trash folder is not where it should be")));

    // The local implementation itself, whatever GIO modules are installed: a rename into a trash
    // folder on the item's own volume, never a copy followed by a removal.
    const QByteArray bytes = QFile::encodeName(path);
    GFile *file = g_vfs_get_file_for_path(g_vfs_get_local(), bytes.constData());
    GError *error = nullptr;
    const bool moved = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (moved)
        return {};
    const QString reason = error ? QString::fromUtf8(error->message) : text("no reason given");
    g_clear_error(&error);
    return unexpected(failure(path, reason));
}

} // namespace vantry::Trash
