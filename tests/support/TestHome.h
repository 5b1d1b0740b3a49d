#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QScopeGuard>
#include <QString>
#include <QTemporaryDir>

#include <optional>
#include <sys/types.h>
#include <utility>

namespace vantry::test {

/// A temporary home for one test: HOME and the XDG base folders point inside a fresh temporary
/// folder until the object is destroyed, when the previous environment comes back.
class TestHome
{
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;

    [[nodiscard]] bool isValid() const { return m_root.isValid(); }
    [[nodiscard]] QString home() const;
    /// A path inside the temporary folder but outside the home.
    [[nodiscard]] QString scratch(const QString &name) const;

private:
    QTemporaryDir m_root;
    QList<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};

/// Writes `bytes` to `path` with `mode`, replacing a file there and making missing folders.
[[nodiscard]] bool put(const QString &path, QByteArrayView bytes, mode_t mode = 0644);

/// Removes `path` when the result goes: QTemporaryDir cannot remove names that are not UTF-8.
[[nodiscard]] inline auto removeAtEnd(const QByteArray &path)
{
    return qScopeGuard([path] {
        QProcess::execute(u"rm"_qs, {u"-rf"_qs, QFile::decodeName(path)});
    });
}

/// Bundles in `folder` whose Info.plist no reader may trust: a FIFO (Fifo.app), a link to
/// /dev/zero (Zero.app) and a property list of more than 1 MiB (Huge.app). False when they could
/// not be made.
[[nodiscard]] bool plantHostileInfoPlists(const QString &folder);

} // namespace vantry::test
