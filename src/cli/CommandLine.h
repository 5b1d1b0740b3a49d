#pragma once

#include <core/Expected.h>

#include <QString>
#include <QStringList>

#include <optional>

namespace vantry::Cli {

/// The commands of vantry-cli, each one action the launcher's window offers.
enum class Command {
    list,
    install,
    installManaged,
    play,
    quitAndUpdate,
    copies,
    remove,
    removeOthers,
    verify,
};

/// One run of the tool, as its arguments ask for it.
struct Invocation {
    std::optional<Command> command; // none: the tool's own help
    QString titleId;
    bool verbose = false; // -v: log lines reach standard error
    bool help = false;    // --help: print the usage of the tool or of the command, and do nothing
    bool json = false;
    bool yes = false;      // the removal is confirmed without asking
    bool withData = false; // the saved data goes to the Trash with the copy
    std::optional<QString> copyPath;
};

/// Why arguments do not make an invocation: the message, and the usage to show after it.
struct UsageError {
    QString message;
    QString usage;
};

/// The invocation `arguments` (without the program's name) ask for.
[[nodiscard]] Expected<Invocation, UsageError> parseCommandLine(const QStringList &arguments);

/// The tool's usage: every command with its arguments and what it does.
[[nodiscard]] QString toolUsage();

/// One command's usage and what it does.
[[nodiscard]] QString commandUsage(Command command);

} // namespace vantry::Cli
