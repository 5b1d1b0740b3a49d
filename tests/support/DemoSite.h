#pragma once

#include <QProcess>
#include <QString>

namespace vantry::test {

/// Publishes the demo collection into `out` with demo/make-site (the maker's tool `publishTool`,
/// the demo game `game`) and copies its home seed into `home`. False when either step failed.
[[nodiscard]] bool publishDemo(const QString &publishTool, const QString &game, const QString &out,
                               const QString &home);

/// Serves `site` with `publishTool serve` in `server` and points this process's development
/// origin at it (VANTRY_CONNECT_TO, VANTRY_EXTRA_CA). False when the server named no address.
[[nodiscard]] bool serveSite(QProcess &server, const QString &publishTool, const QString &site);

} // namespace vantry::test
