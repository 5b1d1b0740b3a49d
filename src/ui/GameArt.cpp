#include <ui/GameArt.h>

#include <array>

namespace vantry {

namespace {

using Coverage = GameArtMark::Coverage;

QColor rgb(QRgb value)
{
    return QColor::fromRgb(value);
}

GameArtMark mark(const char16_t *name, QRgb color, double opacity, GameArtRegion region,
                 Coverage coverage)
{
    return {QString::fromUtf16(name), rgb(color), opacity, region, coverage};
}

GameArtStackEntry layer(QList<GameArtMark> marks, QList<GameArtStackEntry> over = {})
{
    return {std::move(marks), std::move(over)};
}

GameArtPalette colours(QRgb top, QRgb bottom, QRgb accent, QRgb hot, QRgb warm, QRgb ink,
                       QList<GameArtStackEntry> stack)
{
    return {rgb(top), rgb(bottom), rgb(accent), rgb(hot), rgb(warm), rgb(ink), std::move(stack)};
}

// The motif fills the banner's trailing part, beyond the title, and runs off its edges.
constexpr GameArtRegion field {0.56, 1.00, 0.00, 1.00};
constexpr GameArtRegion wide {0.50, 1.00, 0.00, 1.00};

struct Row {
    QStringList ids;
    GameArtMotif motif;
    GameArtPalette palette;
};

// Tested in this order; the first id that matches wins.
const std::array<Row, 6> &rows()
{
    static const std::array<Row, 6> table {{
        {{u"sweepler"_qs}, GameArtMotif::mineField,
         colours(0x3F453D, 0x161A17, 0xEAE6DC, 0xF04444, 0xFFF9EE, 0x212528,
                 {layer({mark(u"cellOpenFill", 0xFFF9EE, 0.10, field, Coverage::solid),
                         mark(u"cellClosedFill", 0xEAE6DC, 0.88, field, Coverage::sparse)},
                        {layer({mark(u"flag", 0xF04444, 1.0, field, Coverage::sparse)})})})},
        {{u"mazzle"_qs}, GameArtMotif::maze,
         colours(0x2A25A0, 0x08083A, 0x514CFF, 0xF13E83, 0xFFD21A, 0xFFF7E8,
                 {layer({mark(u"mazePath", 0x514CFF, 1.0, field, Coverage::solid)},
                        {layer({mark(u"pellet", 0xFFD21A, 0.95, field, Coverage::sparse)})})})},
        {{u"tumbit"_qs}, GameArtMotif::mergeTiles,
         colours(0x15483B, 0x071B16, 0x75D9B0, 0xBBADE4, 0xFFF7E8, 0xE9FFF6,
                 {layer({mark(u"tileFill", 0x75D9B0, 0.90, field, Coverage::solid),
                         mark(u"hotTileFill", 0xBBADE4, 1.0, field, Coverage::sparse)},
                        {layer({mark(u"tileText", 0x0B2E25, 1.0, field, Coverage::sparse),
                                mark(u"hotTileText", 0x2C1F52, 1.0, field, Coverage::sparse)})})})},
        {{u"numbo"_qs}, GameArtMotif::sudoku,
         colours(0x0A4568, 0x061A2E, 0x147BD1, 0xF2A51A, 0xFFF4D6, 0xF7FBFF,
                 {layer({mark(u"boardFill", 0xF7FBFF, 0.10, field, Coverage::solid)},
                        {layer({mark(u"accentSquare", 0x147BD1, 0.85, field, Coverage::sparse),
                                mark(u"pencilFill", 0xF2A51A, 0.90, field, Coverage::sparse)},
                               {layer({mark(u"gridLines", 0xF7FBFF, 0.55, field,
                                            Coverage::solid)})})})})},
        {{u"swirlo"_qs}, GameArtMotif::wetStreet,
         colours(0x164C55, 0x081A35, 0x2A8EA3, 0x704C8E, 0xFFD078, 0xFFF7E8,
                 {layer({mark(u"skyline", 0x06122A, 0.92, field, Coverage::solid)},
                        {layer({mark(u"warmDrop", 0xFFD078, 0.90, wide, Coverage::sparse)})})})},
        {{u"chequar"_qs, u"chequor"_qs}, GameArtMotif::chequar,
         colours(0x54337A, 0x211234, 0x8058BD, 0xA56B9E, 0xD9B07E, 0xF4E4C8,
                 {layer({mark(u"squareAccent", 0x8058BD, 0.85, field, Coverage::solid),
                         mark(u"squareWarm", 0xD9B07E, 0.85, field, Coverage::solid)},
                        {layer({mark(u"piece", 0xF4E4C8, 1.0, field, Coverage::sparse)})})})},
    }};
    return table;
}

const Row *rowFor(const QString &catalogId)
{
    const QString id = catalogId.toLower();
    for (const Row &row : rows()) {
        if (row.ids.contains(id))
            return &row;
    }
    return nullptr;
}

const GameArtPalette &fallbackPalette()
{
    static const GameArtPalette palette =
        colours(0x3D2C68, 0x171126, 0xEC2C8A, 0x9FE8FF, 0xFFD166, 0xF5F0FF,
                {layer({mark(u"squareA", 0xEC2C8A, 0.80, wide, Coverage::sparse),
                        mark(u"squareB", 0x9FE8FF, 0.55, wide, Coverage::sparse)})});
    return palette;
}

void walk(const QList<GameArtStackEntry> &entries, QHash<QString, GameArtMark> &out)
{
    for (const GameArtStackEntry &entry : entries) {
        for (const GameArtMark &each : entry.marks)
            out.insert(each.name, each);
        walk(entry.over, out);
    }
}

} // namespace

const GameArtPalette &GameArtPalette::palette(const QString &catalogId)
{
    const Row *row = rowFor(catalogId);
    return row ? row->palette : fallbackPalette();
}

QHash<QString, GameArtMark> GameArtPalette::heroMarks() const
{
    QHash<QString, GameArtMark> marks;
    walk(heroMarkStack, marks);
    return marks;
}

std::optional<GameArtMark> GameArtPalette::heroMark(const QString &name) const
{
    const QHash<QString, GameArtMark> marks = heroMarks();
    const auto found = marks.constFind(name);
    if (found == marks.cend())
        return std::nullopt;
    return *found;
}

GameArtMotif gameArtMotif(const QString &catalogId)
{
    const Row *row = rowFor(catalogId);
    return row ? row->motif : GameArtMotif::clubhouseFallback;
}

} // namespace vantry
