#pragma once

#include <QColor>
#include <QString>
#include <QStringView>

#include <optional>

namespace vantry::demo {

/// Who this copy of the demo game is. One program serves every demo game: it takes its identity
/// from the Info.plist of the bundle it was started from (`<bundle>/Contents/MacOS/<exe>`).
struct GameIdentity {
    QString identifier = QStringLiteral("com.vantry.demo.game");
    QString name = QStringLiteral("Vantry Demo");
    QString shortVersion;
    QColor colour = QColor(0x3b, 0x6e, 0xa5);

    /// The identity in the Info.plist of the bundle holding `executablePath`; the fallback
    /// identity when the program lies in no bundle or its Info.plist is not usable.
    [[nodiscard]] static GameIdentity forExecutable(const QString &executablePath);

    /// The name and the version, as the window's title shows them.
    [[nodiscard]] QString title() const;
};

/// The colour written `#RRGGBB`; nothing for any other text.
[[nodiscard]] std::optional<QColor> parseColour(QStringView text);

} // namespace vantry::demo
