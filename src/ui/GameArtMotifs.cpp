// The seven motifs. Each draws into the frame it is given, in units of the frame's height, so a
// cover and a hero, at any pixel density, are the same picture; every "random" choice comes from
// a fixed seed, so the same request always gives the same pixels.
#include <ui/GameArtwork.h>

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace vantry {

namespace {

using Format = GameArtwork::Format;

// A small linear congruential generator: the same sequence on every machine and thread.
class Dice
{
public:
    explicit Dice(quint32 seed) : m_state(seed) {}
    double roll()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return (m_state >> 8) / double(1u << 24);
    }
    double between(double low, double high) { return low + (high - low) * roll(); }

private:
    quint32 m_state;
};

struct Canvas {
    QPainter &painter;
    const GameArtPalette &palette;
    Format format;
    QRectF frame;

    [[nodiscard]] GameArtMark mark(const QString &name) const
    {
        return palette.heroMark(name).value_or(
            GameArtMark {name, Qt::transparent, 0, {0, 1, 0, 1}, GameArtMark::Coverage::solid});
    }
    // Where a mark may draw: its region of the banner, or the whole cover.
    [[nodiscard]] QRectF area(const GameArtMark &mark) const
    {
        if (format == Format::cover)
            return frame;
        const GameArtRegion &r = mark.heroRegion;
        return {frame.left() + r.lead * frame.width(), frame.top() + r.top * frame.height(),
                (r.trail - r.lead) * frame.width(), (r.bottom - r.top) * frame.height()};
    }
    [[nodiscard]] double height() const { return frame.height(); }
    [[nodiscard]] bool hero() const { return format == Format::hero; }
    // Where a row of `cols` cells of side `cell` begins: in the banner it runs off the region's
    // trailing edge, on a cover it is centred.
    [[nodiscard]] double rowStart(const QRectF &area, int cols, double cell) const
    {
        return hero() ? area.right() + 0.3 * cell - cols * cell : area.center().x() - cols * cell / 2;
    }
};

QColor ink(const GameArtMark &mark, double strength = 1.0)
{
    QColor color = mark.color;
    color.setAlphaF(float(std::clamp(mark.opacity * strength, 0.0, 1.0)));
    return color;
}

QColor tinted(QColor color, double alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

// Digits as outlines, not through the glyph cache: the same pixels at every size and on every
// thread.
void label(QPainter &painter, const QRectF &box, const QString &text, const QColor &color,
           double pixelSize)
{
    QFont font(QStringLiteral("sans-serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(std::max(1, int(std::lround(pixelSize))));
    QPainterPath outline;
    outline.addText(0, 0, font, text);
    const QRectF bounds = outline.boundingRect();
    painter.fillPath(outline.translated(box.center() - bounds.center()), color);
}

void roundedCell(QPainter &painter, const QRectF &cell, double radius, const QColor &fill)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(cell, radius, radius);
}

void mineField(const Canvas &c)
{
    const GameArtMark closed = c.mark(u"cellClosedFill"_qs);
    const GameArtMark open = c.mark(u"cellOpenFill"_qs);
    const GameArtMark flag = c.mark(u"flag"_qs);
    const QRectF area = c.area(closed);
    const int rows = 5;
    const double cell = c.height() / (c.hero() ? 4.4 : 3.4);
    const int cols = int(std::ceil(area.width() / cell)) + 1;
    const QPointF origin(c.rowStart(area, cols, cell), -0.3 * cell);
    const auto isOpen = [&](int col, int row) {
        if (col < 0 || row < 0 || col >= cols || row >= rows)
            return false;
        return std::hypot(col - cols * 0.42, (row - rows * 0.55) * 1.3) < rows * 0.62;
    };
    // Mines under some closed cells; the open cells count them, as in the game.
    Dice dice(13);
    QList<bool> mines(cols * rows);
    for (int i = 0; i < cols * rows; ++i)
        mines[i] = !isOpen(i % cols, i / cols) && dice.roll() < 0.4;
    const auto mined = [&](int col, int row) {
        return col >= 0 && row >= 0 && col < cols && row < rows && mines[row * cols + col];
    };
    const double gap = 0.07 * cell;
    bool flagged = false;
    for (int col = cols - 1; col >= 0; --col) {
        for (int row = 0; row < rows; ++row) {
            const QRectF box(origin.x() + col * cell, origin.y() + row * cell, cell, cell);
            const QRectF face = box.adjusted(gap, gap, -gap, -gap);
            if (isOpen(col, row)) {
                roundedCell(c.painter, face, 0.14 * cell, ink(open));
                int around = 0;
                for (int dc = -1; dc <= 1; ++dc)
                    for (int dr = -1; dr <= 1; ++dr)
                        around += mined(col + dc, row + dr) ? 1 : 0;
                if (around > 0) {
                    label(c.painter, face, QString::number(around),
                          around >= 3 ? ink(flag)
                                      : tinted(around == 1 ? c.palette.warm : c.palette.accent,
                                               around == 1 ? 0.95 : 0.7),
                          0.58 * cell);
                }
                continue;
            }
            roundedCell(c.painter, face.translated(0, 0.06 * cell), 0.14 * cell,
                        tinted(Qt::black, 0.35));
            roundedCell(c.painter, face, 0.14 * cell, ink(closed));
            const bool edge = isOpen(col - 1, row) || isOpen(col, row + 1);
            if (!flagged && edge && mined(col, row) && row > 0) {
                flagged = true;
                const QPointF mid = face.center();
                c.painter.setPen(QPen(c.palette.ink, 0.07 * cell, Qt::SolidLine, Qt::RoundCap));
                c.painter.drawLine(mid + QPointF(-0.1, -0.3) * cell, mid + QPointF(-0.1, 0.26) * cell);
                c.painter.drawLine(mid + QPointF(-0.24, 0.26) * cell, mid + QPointF(0.06, 0.26) * cell);
                c.painter.setPen(Qt::NoPen);
                c.painter.setBrush(ink(flag));
                c.painter.drawPolygon(QPolygonF {mid + QPointF(-0.08, -0.32) * cell,
                                                 mid + QPointF(0.3, -0.14) * cell,
                                                 mid + QPointF(-0.08, 0.04) * cell});
            }
        }
    }
}

void maze(const Canvas &c)
{
    const GameArtMark path = c.mark(u"mazePath"_qs);
    const GameArtMark pellet = c.mark(u"pellet"_qs);
    const QRectF area = c.area(path);
    const int rows = c.hero() ? 4 : 3;
    const double cell = c.height() / (c.hero() ? 3.6 : 2.7);
    const int cols = int(std::ceil(area.width() / cell)) + 1;
    const QPointF origin(c.rowStart(area, cols, cell), -0.2 * cell);
    const auto node = [&](int index) {
        return origin + QPointF((index % cols + 0.5) * cell, (index / cols + 0.5) * cell);
    };
    // A spanning tree of the lattice by depth-first search: every corridor connects, none loops.
    Dice dice(7);
    QList<bool> seen(cols * rows, false);
    QList<int> stack {0};
    seen[0] = true;
    QPainterPath corridors;
    QList<QPointF> pellets;
    while (!stack.isEmpty()) {
        const int here = stack.last();
        QList<int> next;
        const int col = here % cols, row = here / cols;
        if (col > 0 && !seen[here - 1]) next.append(here - 1);
        if (col + 1 < cols && !seen[here + 1]) next.append(here + 1);
        if (row > 0 && !seen[here - cols]) next.append(here - cols);
        if (row + 1 < rows && !seen[here + cols]) next.append(here + cols);
        if (next.isEmpty()) {
            stack.removeLast();
            continue;
        }
        const int there = next[int(dice.roll() * next.size())];
        seen[there] = true;
        stack.append(there);
        corridors.moveTo(node(here));
        corridors.lineTo(node(there));
        pellets << node(there) << (node(here) + node(there)) / 2;
    }
    QPen wall(ink(path), 0.6 * cell, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    c.painter.strokePath(corridors, wall);
    wall.setColor(tinted(c.palette.bottom, 0.92));
    wall.setWidthF(0.44 * cell);
    c.painter.strokePath(corridors, wall);
    c.painter.setPen(Qt::NoPen);
    for (qsizetype i = 0; i < pellets.size(); ++i) {
        const bool power = i == pellets.size() / 3;
        c.painter.setBrush(power ? QColor(c.palette.hot) : ink(pellet));
        const double radius = (power ? 0.13 : 0.06) * cell;
        c.painter.drawEllipse(pellets[i], radius, radius);
    }
}


void mergeTiles(const Canvas &c, const QList<int> &values, const QList<QPoint> &heroPoints,
                const QList<QPoint> &coverPoints)
{
    const GameArtMark fill = c.mark(u"tileFill"_qs);
    const GameArtMark hotFill = c.mark(u"hotTileFill"_qs);
    const GameArtMark text = c.mark(u"tileText"_qs);
    const GameArtMark hotText = c.mark(u"hotTileText"_qs);
    const QRectF area = c.area(fill);
    const QList<QPoint> &points = c.hero() ? heroPoints : coverPoints;
    const int cols = c.hero() ? 6 : 4, rows = 3;
    const double slot = c.height() / (c.hero() ? 3.1 : 2.9);
    const QPointF origin(c.rowStart(area, cols, slot),
                         c.hero() ? area.center().y() - 1.5 * slot : -0.12 * slot);
    const double gap = 0.07 * slot;
    for (int col = 0; col < cols; ++col)
        for (int row = 0; row < rows; ++row)
            roundedCell(c.painter,
                        QRectF(origin + QPointF(col, row) * slot, QSizeF(slot, slot))
                            .adjusted(gap, gap, -gap, -gap),
                        0.14 * slot, tinted(c.palette.ink, 0.07));
    for (qsizetype i = 0; i < points.size() && i < values.size(); ++i) {
        const QRectF face = QRectF(origin + QPointF(points[i]) * slot, QSizeF(slot, slot))
                                .adjusted(gap, gap, -gap, -gap);
        const bool hot = values[i] >= 128;
        if (hot)
            roundedCell(c.painter, face.adjusted(-gap, -gap, gap, gap), 0.2 * slot,
                        tinted(hotFill.color, 0.3));
        roundedCell(c.painter, face, 0.14 * slot, ink(hot ? hotFill : fill));
        const QString digits = QString::number(values[i]);
        const double size = digits.size() <= 2 ? 0.46 : digits.size() == 3 ? 0.36 : 0.28;
        label(c.painter, face, digits, ink(hot ? hotText : text), size * slot);
    }
}

void sudoku(const Canvas &c)
{
    const GameArtMark board = c.mark(u"boardFill"_qs);
    const GameArtMark accent = c.mark(u"accentSquare"_qs);
    const GameArtMark pencil = c.mark(u"pencilFill"_qs);
    const GameArtMark grid = c.mark(u"gridLines"_qs);
    const QRectF area = c.area(board);
    const double side = c.height() * (c.hero() ? 1.45 : 1.2);
    const QPointF centre = c.hero() ? QPointF(area.left() + 0.55 * area.width(), area.center().y())
                                    : QPointF(c.frame.width() * 0.58, c.height() * 0.46);
    const double cell = side / 9;
    c.painter.save();
    c.painter.translate(centre);
    c.painter.rotate(-7);
    c.painter.translate(-side / 2, -side / 2);
    roundedCell(c.painter, QRectF(0, 0, side, side), 0.2 * cell, ink(board));
    const auto at = [cell](int col, int row) { return QRectF(col * cell, row * cell, cell, cell); };
    roundedCell(c.painter, QRectF(3 * cell, 3 * cell, 3 * cell, 3 * cell), 0, ink(accent, 0.3));
    roundedCell(c.painter, at(4, 4).adjusted(1, 1, -1, -1), 0.1 * cell, ink(accent));
    Dice dice(11);
    for (int row = 0; row < 9; ++row) {
        for (int col = 0; col < 9; ++col) {
            const double roll = dice.roll();
            // A valid solved board, so any digits shown obey the rules.
            const int digit = (row * 3 + row / 3 + col) % 9 + 1;
            if (roll < 0.34 || (col == 4 && row == 4)) {
                label(c.painter, at(col, row), QString::number(digit), tinted(c.palette.ink, 0.92),
                      0.62 * cell);
            } else if (roll < 0.56) {
                const double mark = cell / 4.2;
                for (int k = 0; k < 9; ++k) {
                    if (dice.roll() < 0.4)
                        roundedCell(c.painter,
                                    QRectF(col * cell + (k % 3 + 0.35) * cell / 3.4,
                                           row * cell + (k / 3 + 0.35) * cell / 3.4, mark, mark),
                                    mark / 3, ink(pencil));
                }
            }
        }
    }
    for (int line = 0; line <= 9; ++line) {
        const bool heavy = line % 3 == 0;
        c.painter.setPen(QPen(ink(grid, heavy ? 1.0 : 0.5), (heavy ? 0.08 : 0.03) * cell));
        c.painter.drawLine(QPointF(line * cell, 0), QPointF(line * cell, side));
        c.painter.drawLine(QPointF(0, line * cell), QPointF(side, line * cell));
    }
    c.painter.restore();
}

void wetStreet(const Canvas &c, bool hasIcon)
{
    const GameArtMark skyline = c.mark(u"skyline"_qs);
    const GameArtMark drop = c.mark(u"warmDrop"_qs);
    const QRectF area = c.area(drop);
    const double h = c.height();
    const double horizon = c.frame.top() + 0.64 * h;
    if (hasIcon) {
        // The icon hangs in the glow of a streetlamp.
        const QRectF icon = GameArtwork::iconRect(c.format, c.frame.size().toSize());
        QRadialGradient glow(icon.center(), icon.width() * 0.62);
        glow.setColorAt(0, tinted(drop.color, 0.45));
        glow.setColorAt(1, Qt::transparent);
        c.painter.fillRect(c.frame, glow);
    }
    const double unit = h * (c.hero() ? 0.12 : 0.2);
    Dice dice(5);
    for (int layer = 0; layer < 2; ++layer) {
        const bool near = layer == 1;
        double x = area.left() - dice.between(0, unit);
        while (x < area.right()) {
            const double width = dice.between(0.8, 1.7) * unit;
            const double height = dice.between(near ? 0.18 : 0.3, near ? 0.42 : 0.52) * h;
            const QRectF building(x, horizon - height, width - 0.06 * unit, height);
            const QColor body = near ? ink(skyline) : tinted(c.palette.accent, 0.3);
            roundedCell(c.painter, building, 0, body);
            // Its reflection on the wet street, shorter and fainter.
            QLinearGradient wet(0, horizon, 0, horizon + 0.6 * height);
            wet.setColorAt(0, tinted(body, near ? 0.5 : 0.15));
            wet.setColorAt(1, Qt::transparent);
            c.painter.fillRect(QRectF(x, horizon, building.width(), 0.6 * height), wet);
            if (near) {
                const double pane = 0.045 * h;
                for (double wy = building.top() + pane; wy < horizon - 1.5 * pane; wy += 1.7 * pane) {
                    for (double wx = x + pane; wx < building.right() - 1.5 * pane; wx += 1.7 * pane) {
                        if (dice.roll() > 0.32)
                            continue;
                        roundedCell(c.painter, QRectF(wx, wy, pane, pane), 0, ink(drop));
                        // The lit window drips onto the street as a warm streak.
                        const double fall = horizon + (horizon - wy) * 0.55;
                        QLinearGradient streak(0, fall, 0, fall + dice.between(0.05, 0.16) * h);
                        streak.setColorAt(0, ink(drop, 0.8));
                        streak.setColorAt(1, Qt::transparent);
                        c.painter.fillRect(QRectF(wx, fall, pane, 0.16 * h), streak);
                    }
                }
            }
            x += width;
        }
    }
    // Rain, slanting across the whole frame.
    c.painter.setPen(QPen(tinted(c.palette.ink, 0.22), 0.008 * h, Qt::SolidLine, Qt::RoundCap));
    const int drops = int(area.width() * h / (0.018 * h * h * (c.hero() ? 1.0 : 0.7)));
    for (int i = 0; i < drops; ++i) {
        const QPointF from(dice.between(area.left(), area.right()), dice.between(-0.1, 1.0) * h);
        c.painter.drawLine(from, from + QPointF(-0.02, 0.08) * h);
    }
}

QPainterPath king(QPointF base, double height)
{
    const double w = height * 0.62;
    QPainterPath piece;
    piece.addRoundedRect(QRectF(base.x() - w / 2, base.y() - 0.12 * height, w, 0.12 * height),
                         0.04 * height, 0.04 * height);
    QPainterPath body;
    body.moveTo(base.x() - 0.26 * height, base.y() - 0.12 * height);
    body.cubicTo(base.x() - 0.2 * height, base.y() - 0.38 * height, base.x() - 0.1 * height,
                 base.y() - 0.5 * height, base.x() - 0.12 * height, base.y() - 0.62 * height);
    body.lineTo(base.x() + 0.12 * height, base.y() - 0.62 * height);
    body.cubicTo(base.x() + 0.1 * height, base.y() - 0.5 * height, base.x() + 0.2 * height,
                 base.y() - 0.38 * height, base.x() + 0.26 * height, base.y() - 0.12 * height);
    body.closeSubpath();
    piece.addPath(body);
    piece.addRoundedRect(QRectF(base.x() - 0.19 * height, base.y() - 0.7 * height, 0.38 * height,
                                0.09 * height), 0.03 * height, 0.03 * height);
    piece.addEllipse(QPointF(base.x(), base.y() - 0.78 * height), 0.11 * height, 0.1 * height);
    piece.addRect(QRectF(base.x() - 0.025 * height, base.y() - 1.0 * height, 0.05 * height,
                         0.16 * height));
    piece.addRect(QRectF(base.x() - 0.075 * height, base.y() - 0.95 * height, 0.15 * height,
                         0.05 * height));
    return piece.simplified();
}

void chequar(const Canvas &c, bool showPiece)
{
    const GameArtMark accent = c.mark(u"squareAccent"_qs);
    const GameArtMark warm = c.mark(u"squareWarm"_qs);
    const GameArtMark pieceMark = c.mark(u"piece"_qs);
    const QRectF area = c.area(accent);
    const double h = c.height();
    // The board in perspective: eight by eight squares on a receding plane.
    const QPolygonF plane = c.hero()
        ? QPolygonF {QPointF(area.left() + 0.12 * area.width(), 0.3 * h),
                     QPointF(area.right() + 0.02 * area.width(), 0.3 * h),
                     QPointF(area.right() + 0.25 * area.width(), 1.25 * h),
                     QPointF(area.left() - 0.2 * area.width(), 1.25 * h)}
        : QPolygonF {QPointF(0.1 * c.frame.width(), 0.3 * h), QPointF(0.9 * c.frame.width(), 0.3 * h),
                     QPointF(1.35 * c.frame.width(), 1.2 * h), QPointF(-0.35 * c.frame.width(), 1.2 * h)};
    QTransform perspective;
    if (!QTransform::quadToQuad(QPolygonF {QPointF(0, 0), QPointF(8, 0), QPointF(8, 8), QPointF(0, 8)},
                                plane, perspective))
        return;
    c.painter.save();
    c.painter.setTransform(perspective, true);
    c.painter.setPen(Qt::NoPen);
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            c.painter.setBrush(ink((row + col) % 2 ? accent : warm, 0.4 + 0.6 * row / 7.0));
            c.painter.drawRect(QRectF(col, row, 1, 1));
        }
    }
    c.painter.restore();
    if (!showPiece)
        return;
    const QPointF base = c.hero()
        ? QPointF(area.left() + 0.62 * area.width(), 0.8 * h)
        : QPointF(0.7 * c.frame.width(), 0.7 * h);
    const double height = c.hero() ? 0.66 * h : 0.56 * h;
    c.painter.setBrush(tinted(Qt::black, 0.3));
    c.painter.setPen(Qt::NoPen);
    c.painter.drawEllipse(base, 0.36 * height, 0.07 * height);
    c.painter.setBrush(ink(pieceMark));
    c.painter.setPen(QPen(c.palette.bottom, 0.025 * height));
    c.painter.drawPath(king(base, height));
}

void clubhouseFallback(const Canvas &c)
{
    const GameArtMark first = c.mark(u"squareA"_qs);
    const GameArtMark second = c.mark(u"squareB"_qs);
    const QRectF area = c.area(first);
    const double cell = c.hero() ? area.height() / 4.5 : c.height() / 4;
    Dice dice(3);
    for (double y = area.top(); y < area.bottom(); y += cell) {
        for (double x = area.right() - cell; x > area.left() - cell; x -= cell) {
            const double roll = dice.roll();
            const double inset = dice.between(0.1, 0.3) * cell;
            const double strength = dice.between(0.3, 1.0);
            if (roll > 0.6)
                continue;
            roundedCell(c.painter, QRectF(x, y, cell, cell).adjusted(inset, inset, -inset, -inset),
                        0.12 * cell, ink(roll < 0.36 ? first : second, strength));
        }
    }
}

} // namespace

void paintMotif(QPainter &painter, GameArtMotif motif, const GameArtPalette &palette,
                GameArtwork::Format format, const QRectF &frame, bool hasIcon)
{
    const Canvas canvas {painter, palette, format, frame};
    switch (motif) {
    case GameArtMotif::mineField:
        return mineField(canvas);
    case GameArtMotif::maze:
        return maze(canvas);
    case GameArtMotif::mergeTiles:
        return mergeTiles(canvas, {2, 4, 8, 16, 2, 32, 2048, 64, 128, 4, 8},
                          {{0, 1}, {1, 0}, {1, 2}, {2, 1}, {3, 0}, {3, 2}, {4, 1}, {5, 0}, {5, 2}},
                          // The cover's top corners hold the icon and the badge.
                          {{0, 1}, {1, 0}, {1, 2}, {1, 1}, {3, 2}, {3, 1}, {2, 1}});
    case GameArtMotif::sudoku:
        return sudoku(canvas);
    case GameArtMotif::wetStreet:
        return wetStreet(canvas, hasIcon);
    case GameArtMotif::chequar:
        // Beside the banner's icon and name the board alone says chess; a cover always shows
        // its piece.
        return chequar(canvas, format == GameArtwork::Format::cover || !hasIcon);
    case GameArtMotif::clubhouseFallback:
        return clubhouseFallback(canvas);
    }
}

} // namespace vantry
