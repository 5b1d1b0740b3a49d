#pragma once

#include <QString>

// The launcher's platform checks of a game bundle before it is trusted and started.
namespace vantry::CodesignVerifier {

/// The signature check: true exactly when the bundle's code signature satisfies the Developer ID
/// requirement under the code-signing anchor built into the launcher (nested code and strict
/// validation included). Never fails otherwise. Blocks on the file system: call it off the main
/// thread.
[[nodiscard]] bool signatureValid(const QString &bundlePath);

} // namespace vantry::CodesignVerifier
