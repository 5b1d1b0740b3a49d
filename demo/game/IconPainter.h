#pragma once

#include <QColor>
#include <QImage>
#include <QString>

namespace vantry::demo {

/// The demo games' look: a letter on a rounded square of the game's colour, in an ink that reads
/// on it. Painting text needs a QGuiApplication (the offscreen platform will do).
namespace IconPainter {

inline constexpr int iconSize = 256;

/// Black or white, whichever reads better on `background`.
[[nodiscard]] QColor readableInk(const QColor &background);

/// The iconSize x iconSize icon: `letter` on a rounded square of `colour`, transparent around it.
[[nodiscard]] QImage render(const QColor &colour, const QString &letter);

} // namespace IconPainter

} // namespace vantry::demo
