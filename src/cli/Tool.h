#pragma once

#include <QStringList>

namespace vantry::Cli {

/// Runs vantry-cli with `arguments` (without the program's name) in a running QCoreApplication
/// and gives its exit status: the command's, 2 for a usage error.
[[nodiscard]] int run(const QStringList &arguments);

} // namespace vantry::Cli
