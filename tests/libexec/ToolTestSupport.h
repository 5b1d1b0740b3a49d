#pragma once

#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QFile>
#include <QMap>

#include <optional>
#include <sys/xattr.h>
#include <vector>

namespace vantry::test {

inline bool setAttribute(const QString &path, const char *name, const QByteArray &value)
{
    return ::lsetxattr(QFile::encodeName(path).constData(), name, value.constData(),
                       size_t(value.size()), 0) == 0;
}

/// The value of the attribute `name` of `path` (not following a link), if it has one.
inline std::optional<QByteArray> attribute(const QString &path, const QByteArray &name)
{
    std::vector<char> value(64 * 1024);
    const ssize_t size = ::lgetxattr(QFile::encodeName(path).constData(), name.constData(),
                                     value.data(), value.size());
    return size < 0 ? std::nullopt : std::optional(QByteArray(value.data(), size));
}

/// Every `user.` attribute of `path` (not following a link), by name.
inline QMap<QByteArray, QByteArray> userAttributes(const QString &path)
{
    QMap<QByteArray, QByteArray> result;
    std::vector<char> names(64 * 1024);
    const ssize_t size =
        ::llistxattr(QFile::encodeName(path).constData(), names.data(), names.size());
    for (const QByteArray &name : QByteArray(names.data(), qMax<ssize_t>(size, 0)).split('\0')) {
        if (name.startsWith("user."))
            result.insert(name, attribute(path, name).value_or("(unreadable)"));
    }
    return result;
}

#ifdef SWAP_HOOK_TOOL
/// Runs the test build of the tool, whose walk swaps the entries NAME and OTHER of `swap`
/// ("NAME/OTHER") between its look at NAME and its opening of it.
inline ToolRun runSwapping(const QByteArray &swap, const QStringList &arguments)
{
    qputenv("VANTRY_TEST_SWAP", swap);
    ToolRun run = runTool(QString::fromUtf8(SWAP_HOOK_TOOL), arguments);
    qunsetenv("VANTRY_TEST_SWAP");
    return run;
}
#endif

} // namespace vantry::test
