#pragma once

#include <QString>

// The system the launcher runs on, as the version rules see it. A native game's real floor is
// the C library it was linked against, so that library's version stands for the system's.
namespace vantry::HostSystem {

/// What user-facing texts call the system whose version the rules compare.
[[nodiscard]] QString name();

/// The running C library's version as it reports it ("2.36").
[[nodiscard]] QString versionText();

} // namespace vantry::HostSystem
