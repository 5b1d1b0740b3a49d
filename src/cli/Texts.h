#pragma once

#include <QCoreApplication>
#include <QString>

namespace vantry::Cli {

/// A user-facing text of the tool, looked up with its English text as the key.
[[nodiscard]] inline QString text(const char *english)
{
    return QCoreApplication::translate("vantry-cli", english);
}

} // namespace vantry::Cli
