#pragma once

#include <QString>

#include <optional>

namespace vantry::Cli {

/// What the launcher's own checks say of one copy of a game: the code-signature check against
/// the Developer ID requirement and the notarization assessment (the build's spctl).
struct CopyCheck {
    QString path;
    bool signatureValid = false;
    bool notarized = false;
    std::optional<QString> problem; // what fails, in the launcher's words; none when both pass

    /// Both checks of the bundle at `path`, naming the item that breaks a signature. Blocks.
    [[nodiscard]] static CopyCheck of(const QString &path);
};

} // namespace vantry::Cli
