#pragma once

#include <QStringList>
#include <QTextStream>

namespace vantry::Publish {

/// Exit statuses of every command.
enum ExitStatus : int {
    success = 0,
    refused = 1,    // the input was read and failed a rule
    usageError = 2, // bad arguments, or a file that could not be read or written
};

/// Runs `vantry-publish` with `arguments` (the program name excluded).
[[nodiscard]] int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace vantry::Publish
