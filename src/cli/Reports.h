#pragma once

#include <cli/CopyCheck.h>

#include <copies/InstallCopy.h>
#include <copies/InstallPlanner.h>
#include <core/TitleState.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace vantry {
class LibraryModel;
}

// What the commands print: one JSON document, or lines for a person. No I/O.
namespace vantry::Cli::Reports {

/// The state as the window's status pill words it, naming the system as this platform does.
[[nodiscard]] QString statusText(const TitleState &state);

/// Why the title's update cannot go into its adopted copy, and what to do instead.
[[nodiscard]] QString updateBlockNote(const QString &name, const UpdateBlock &block);

/// `list --json`: every title of the catalog in catalog order, with the library's flags.
[[nodiscard]] QByteArray listJson(const LibraryModel &model);
[[nodiscard]] QStringList listLines(const LibraryModel &model);

/// `copies --json`: each copy with its build, short version, origin and whether it is current.
[[nodiscard]] QByteArray copiesJson(const QList<InstallCopy> &copies, const QString &currentPath);
[[nodiscard]] QStringList copiesLines(const QList<InstallCopy> &copies, const QString &currentPath);

/// `verify --json`: each copy's two verdicts and what fails.
[[nodiscard]] QByteArray verifyJson(const QList<CopyCheck> &checks);
[[nodiscard]] QStringList verifyLines(const QList<CopyCheck> &checks);

} // namespace vantry::Cli::Reports
