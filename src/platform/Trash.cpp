#include <platform/Trash.h>

#include <gio/gio.h>

#include <platform/Paths.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace vantry::Trash {

namespace {

QString refusal(const QString &path, const QString &reason)
{
    return QCoreApplication::translate("Trash", "%1 could not be moved to the Trash: %2").arg(path, reason);
}

QString reason(const char *english) { return QCoreApplication::translate("Trash", english); }

} // namespace

Expected<void, QString> moveToTrash(const QString &path)
{
    // A relative path would name something under whatever the working folder is, and a NUL would
    // cut the path short for the system: both could send another item to the Trash.
    if (!QDir::isAbsolutePath(path) || path.contains(QChar(u'\0')))
        return unexpected(refusal(path, reason("the path is not a whole absolute path")));
    // GIO reads $XDG_DATA_HOME once and keeps it, without the XDG rule that ignores a relative
    // value: a home Trash other than the one the launcher names could lie anywhere.
    const QString gioDataHome = QFile::decodeName(g_get_user_data_dir());
    if (!QDir::isAbsolutePath(gioDataHome) || QDir::cleanPath(gioDataHome) != Paths::dataHomeDirectory())
        return unexpected(refusal(path, reason("the home Trash folder cannot be told")));

    // The local implementation itself, whatever GIO modules are installed: a rename into a trash
    // folder on the item's own volume, never a copy followed by a removal.
    const QByteArray bytes = QFile::encodeName(path);
    GFile *file = g_vfs_get_file_for_path(g_vfs_get_local(), bytes.constData());
    GError *error = nullptr;
    const bool moved = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (moved)
        return {};
    const QString message = error ? QString::fromUtf8(error->message) : reason("no reason given");
    g_clear_error(&error);
    return unexpected(refusal(path, message));
}

} // namespace vantry::Trash
