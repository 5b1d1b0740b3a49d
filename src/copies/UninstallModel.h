#pragma once

#include <copies/InstallCopy.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace vantry {

/// What is known of one copy at the moment of its removal.
struct RemovalFacts {
    QString canonicalURL;
    bool running = false;     // an application with the title's bundle identifier runs
    bool isCandidate = false; // the path is one of the title's known copies
    std::optional<QString> identity; // its CFBundleIdentifier now, absent when unreadable
    bool writable = false;    // the user can move it to the Trash

    friend bool operator==(const RemovalFacts &, const RemovalFacts &) = default;
};

/// Why a copy may not be removed.
class RemovalRefusal
{
public:
    enum class Case {
        identityMismatch, // found: its identifier now, absent when it has none
        running,
        notACandidate,
        notWritable,
    };

    [[nodiscard]] static RemovalRefusal identityMismatch(std::optional<QString> found);
    [[nodiscard]] static RemovalRefusal running() { return RemovalRefusal(Case::running); }
    [[nodiscard]] static RemovalRefusal notACandidate() { return RemovalRefusal(Case::notACandidate); }
    [[nodiscard]] static RemovalRefusal notWritable() { return RemovalRefusal(Case::notWritable); }

    [[nodiscard]] Case discriminator() const { return m_case; }
    [[nodiscard]] const std::optional<QString> &found() const { return m_found; }

    /// The refusal as a lower-case clause completing a sentence that names the game.
    [[nodiscard]] QString userFacingDescription() const;

    friend bool operator==(const RemovalRefusal &, const RemovalRefusal &) = default;

private:
    explicit RemovalRefusal(Case value) : m_case(value) {}

    Case m_case;
    std::optional<QString> m_found;
};

/// What became of one copy or data item asked to go to the Trash.
struct CopyRemovalResult {
    struct TrashFailed {
        QString message; // the Trash's own description of the failure

        friend bool operator==(const TrashFailed &, const TrashFailed &) = default;
    };
    struct Trashed {
        friend bool operator==(const Trashed &, const Trashed &) = default;
    };
    using Outcome = std::variant<RemovalRefusal, TrashFailed, Trashed>;

    QString url;
    Outcome outcome;

    friend bool operator==(const CopyRemovalResult &, const CopyRemovalResult &) = default;
};

/// The buttons of a removal's confirmation.
enum class RemovalConfirmationButton { cancel, removeKeepingData, removeWithData };

/// Where games keep their saved data on this host, in place of the user's Library folder: the
/// configuration home, the data home and the sandboxed applications' folder.
struct UserLibrary {
    QString configHome;    // $XDG_CONFIG_HOME
    QString dataHome;      // $XDG_DATA_HOME
    QString sandboxedApps; // ~/.var/app

    friend bool operator==(const UserLibrary &, const UserLibrary &) = default;
};

// The rules of removal to the Trash: no I/O.
namespace UninstallModel {

/// The first rule the copy fails: running, not an ".app" or not one of the title's copies,
/// another (or no) identity than `bundleId`, not writable. Absent: the copy may go.
[[nodiscard]] std::optional<RemovalRefusal> refusal(const RemovalFacts &facts, const QString &bundleId);

/// The copies of `resolution` other than its current one, in the resolution's order.
[[nodiscard]] QList<InstallCopy> bulkRemovalSet(const InstallResolution &resolution);

/// The places where the game `bundleId` keeps its data: `<config home>/<id>`, `<data home>/<id>`
/// and `<sandboxed apps>/<id>`, in that order. None for an identifier that could name something
/// else: empty, holding "/" or NUL, "." or "..", the launcher's own identifier, or the name of the
/// launcher's own folders (in any case). A library folder that is not absolute gives no path.
[[nodiscard]] QStringList userDataPaths(const QString &bundleId, const UserLibrary &library,
                                        const std::optional<QString> &launcherBundleId);

/// Cancel and keep the data; removing the data too only for the last copy.
[[nodiscard]] QList<RemovalConfirmationButton> confirmationButtons(bool isLastCopy);

} // namespace UninstallModel
} // namespace vantry
