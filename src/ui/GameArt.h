#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace vantry {

/// A part of the hero banner, as fractions of its width (leading to trailing edge) and height.
struct GameArtRegion {
    double lead, trail, top, bottom;
};

/// One named colour of a game's motif: what it paints, how strongly, and where in the banner.
struct GameArtMark {
    enum class Coverage { solid, sparse };
    QString name;
    QColor color;
    double opacity;
    GameArtRegion heroRegion;
    Coverage coverage;
};

/// Marks drawn together, with the entries layered above them: the marks form a tree drawn
/// bottom-up.
struct GameArtStackEntry {
    QList<GameArtMark> marks;
    QList<GameArtStackEntry> over;
};

/// The drawn motif that hints at a game's genre.
enum class GameArtMotif { mineField, maze, mergeTiles, sudoku, wetStreet, chequar, clubhouseFallback };

/// A game's colours: its background gradient, its accents, and its motif's named marks.
struct GameArtPalette {
    QColor top, bottom, accent, hot, warm, ink;
    QList<GameArtStackEntry> heroMarkStack;

    /// The palette of a catalog id: the id lower-cased, matched exactly against the known games
    /// in order; any other id gets the clubhouse's fallback colours.
    [[nodiscard]] static const GameArtPalette &palette(const QString &catalogId);
    /// Every mark by name, from a depth-first walk of the stack (a later mark of a name wins).
    [[nodiscard]] QHash<QString, GameArtMark> heroMarks() const;
    [[nodiscard]] std::optional<GameArtMark> heroMark(const QString &name) const;
};

/// The motif of a catalog id, chosen by the same rule as its palette.
[[nodiscard]] GameArtMotif gameArtMotif(const QString &catalogId);

} // namespace vantry
