#include <ui/ArtworkProvider.h>
#include <ui/TitleIconProvider.h>
#include <ui/GameArtwork.h>

#include <QTest>

#include <cmath>

using namespace vantry;
using Format = GameArtwork::Format;
using Layer = GameArtwork::Layer;
using Scheme = Appearance::Scheme;
Q_DECLARE_METATYPE(Format)
Q_DECLARE_METATYPE(GameArtMotif)
Q_DECLARE_METATYPE(ThemeID)
Q_DECLARE_METATYPE(Scheme)

static const QStringList games {u"sweepler"_qs, u"mazzle"_qs, u"tumbit"_qs, u"numbo"_qs,
                                u"swirlo"_qs, u"chequor"_qs, u"somebody-else"_qs};
static QSize frame(Format format) { return format == Format::hero ? QSize(1040, 220) : QSize(188, 120); }
static QImage bright() { QImage icon(64, 64, QImage::Format_ARGB32); icon.fill(Qt::white); return icon; }
static QImage draw(const QString &id, Format f, QSize size, GameArtwork::Layers layers = {},
                   QImage icon = {}, ThemeID theme = ThemeID::arcade, Scheme scheme = Scheme::dark)
{
    const GameArtwork::Request request {id, icon, f, size, theme, {scheme, {}}};
    return layers ? GameArtwork::render(request, layers) : GameArtwork::render(request);
}
static double luminance(QColor c)
{
    const auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
}
static double contrast(QColor a, QColor b)
{
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}
static int distance(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

class GameArtTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void palettes_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<GameArtMotif>("motif");
        QTest::addColumn<QList<QRgb>>("colours"); // top, bottom, accent, hot, warm, ink
        QTest::addColumn<QStringList>("marks");
        const auto row = [](const char *id, GameArtMotif motif, QList<QRgb> colours, QStringList marks) {
            QTest::newRow(id) << QString::fromLatin1(id) << motif << colours << marks;
        };
        const QList<QRgb> mines {0x3F453D, 0x161A17, 0xEAE6DC, 0xF04444, 0xFFF9EE, 0x212528};
        const QList<QRgb> chess {0x54337A, 0x211234, 0x8058BD, 0xA56B9E, 0xD9B07E, 0xF4E4C8};
        const QList<QRgb> club {0x3D2C68, 0x171126, 0xEC2C8A, 0x9FE8FF, 0xFFD166, 0xF5F0FF};
        const QStringList chessMarks {u"squareWarm"_qs, u"squareAccent"_qs, u"piece"_qs};
        const QStringList clubMarks {u"squareA"_qs, u"squareB"_qs};
        row("sweepler", GameArtMotif::mineField, mines, {u"cellClosedFill"_qs, u"cellOpenFill"_qs, u"flag"_qs});
        row("SweePler", GameArtMotif::mineField, mines, {u"cellClosedFill"_qs, u"cellOpenFill"_qs, u"flag"_qs});
        row("mazzle", GameArtMotif::maze, {0x2A25A0, 0x08083A, 0x514CFF, 0xF13E83, 0xFFD21A, 0xFFF7E8},
            {u"mazePath"_qs, u"pellet"_qs});
        row("tumbit", GameArtMotif::mergeTiles, {0x15483B, 0x071B16, 0x75D9B0, 0xBBADE4, 0xFFF7E8, 0xE9FFF6},
            {u"tileFill"_qs, u"hotTileFill"_qs, u"tileText"_qs, u"hotTileText"_qs});
        row("numbo", GameArtMotif::sudoku, {0x0A4568, 0x061A2E, 0x147BD1, 0xF2A51A, 0xFFF4D6, 0xF7FBFF},
            {u"gridLines"_qs, u"accentSquare"_qs, u"pencilFill"_qs, u"boardFill"_qs});
        row("SWIRLO", GameArtMotif::wetStreet, {0x164C55, 0x081A35, 0x2A8EA3, 0x704C8E, 0xFFD078, 0xFFF7E8},
            {u"skyline"_qs, u"warmDrop"_qs});
        row("chequar", GameArtMotif::chequar, chess, chessMarks);
        row("Chequor", GameArtMotif::chequar, chess, chessMarks);
        row("sweepler ", GameArtMotif::clubhouseFallback, club, clubMarks);
        row("chequors", GameArtMotif::clubhouseFallback, club, clubMarks);
        row("", GameArtMotif::clubhouseFallback, club, clubMarks);
    }
    void palettes()
    {
        QFETCH(QString, id);
        QFETCH(QList<QRgb>, colours);
        QFETCH(QStringList, marks);
        const GameArtPalette &p = GameArtPalette::palette(id);
        QTEST(gameArtMotif(id), "motif");
        QList<QRgb> actual;
        for (const QColor &c : {p.top, p.bottom, p.accent, p.hot, p.warm, p.ink})
            actual << (c.rgba() & RGB_MASK);
        QCOMPARE(actual, colours);
        QStringList names = p.heroMarks().keys();
        names.sort();
        marks.sort();
        QCOMPARE(names, marks);
        for (const QString &name : marks) {
            QCOMPARE(p.heroMark(name)->name, name);
            QVERIFY(p.heroMark(name)->color.isValid() && p.heroMark(name)->opacity > 0);
        }
        QVERIFY(!p.heroMark(u"nothing"_qs));
    }

    void marksWalkTheStackDepthFirst()
    {
        // Depth-first reaches "x" in the nested entry before the sibling after it; breadth-first
        // would reach the sibling first. The later visit wins.
        const auto m = [](const char16_t *name, QRgb c) {
            return GameArtMark {QString::fromUtf16(name), QColor(c), 1, {0, 1, 0, 1}, GameArtMark::Coverage::solid};
        };
        GameArtPalette p;
        p.heroMarkStack = {{{m(u"a", 1), m(u"x", 2)}, {{{m(u"b", 3)}, {{{m(u"x", 4)}, {}}}}}}, {{m(u"y", 5)}, {}},
                           {{m(u"b", 6)}, {}}};
        QCOMPARE(p.heroMarks().size(), 4);
        QCOMPARE(p.heroMark(u"x"_qs)->color, QColor(4));
        QCOMPARE(p.heroMark(u"b"_qs)->color, QColor(6));
        QCOMPARE(p.heroMark(u"y"_qs)->color, QColor(5));
    }

    void renders_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<Format>("format");
        QTest::addColumn<QSize>("size");
        for (const QString &id : games) {
            QTest::addRow("%s hero", qPrintable(id)) << id << Format::hero << QSize(1040, 220);
            QTest::addRow("%s hero x2 odd", qPrintable(id)) << id << Format::hero << QSize(2081, 440);
            QTest::addRow("%s cover", qPrintable(id)) << id << Format::cover << QSize(188, 120);
            QTest::addRow("%s cover x2", qPrintable(id)) << id << Format::cover << QSize(377, 241);
        }
    }
    void renders()
    {
        QFETCH(QString, id);
        QFETCH(Format, format);
        QFETCH(QSize, size);
        for (ThemeID theme : allThemeIDs) {
            const QImage art = draw(id, format, size, {}, bright(), theme);
            QCOMPARE(art.size(), size);
            QCOMPARE(art.format(), QImage::Format_ARGB32_Premultiplied);
            const int w = size.width() - 1, h = size.height() - 1;
            for (const QPoint corner : {QPoint(0, 0), QPoint(w, 0), QPoint(0, h), QPoint(w, h), QPoint(1, 1), QPoint(w - 1, h - 1)})
                QCOMPARE(qAlpha(art.pixel(corner)), 0);
            for (const QPoint inside : {QPoint(w / 2, 0), QPoint(0, h / 2), QPoint(w / 2, h / 2), QPoint(w, h / 2)})
                QCOMPARE(qAlpha(art.pixel(inside)), 255);
            QCOMPARE(draw(id, format, size, {}, bright(), theme), art); // the same pixels every time
        }
    }

    void layers_data() { renders_data(); }
    void layers()
    {
        QFETCH(QString, id);
        QFETCH(Format, format);
        QFETCH(QSize, size);
        const GameArtPalette &p = GameArtPalette::palette(id);
        const QImage bare = draw(id, format, size, Layer::gradient);
        const QImage motif = draw(id, format, size, Layer::gradient | Layer::motif);
        const QImage scrimmed = draw(id, format, size, Layer::gradient | Layer::motif | Layer::scrim);
        const QImage withoutIcon = draw(id, format, size);
        QCOMPARE(withoutIcon, draw(id, format, size, Layer::gradient | Layer::motif | Layer::icon | Layer::scrim));
        QCOMPARE(withoutIcon, scrimmed);
        // The gradient runs from top at the top-leading corner to bottom at the bottom-trailing one.
        const double W = size.width(), H = size.height();
        for (const QPointF at : {QPointF(0.5, 0.5), QPointF(W / 2, H / 2), QPointF(W - 0.5, H - 0.5), QPointF(W * 0.8, H * 0.1)}) {
            const double t = std::clamp((at.x() * W + at.y() * H) / (W * W + H * H), 0.0, 1.0);
            const auto mix = [t](int a, int b) { return int(std::lround(a + (b - a) * t)); };
            const QRgb expected = qRgb(mix(p.top.red(), p.bottom.red()), mix(p.top.green(), p.bottom.green()),
                                       mix(p.top.blue(), p.bottom.blue()));
            const QPoint pixel(int(at.x()), int(at.y()));
            if (qAlpha(bare.pixel(pixel)) == 255)
                QVERIFY2(distance(bare.pixel(pixel), expected) <= 3, qPrintable(QString::number(distance(bare.pixel(pixel), expected))));
        }
        // The motif covers a real part of the frame.
        qsizetype changed = 0;
        for (int y = 0; y < size.height(); y += 2)
            for (int x = 0; x < size.width(); x += 2)
                changed += distance(bare.pixel(x, y), motif.pixel(x, y)) > 8 ? 1 : 0;
        QVERIFY2(changed * 4 > size.width() * size.height() / 12, qPrintable(QString::number(changed)));
        // The scrim darkens the title's place.
        const QPoint title = GameArtwork::titleRect(format, size).center().toPoint();
        QVERIFY(luminance(scrimmed.pixelColor(title)) < 0.6 * luminance(motif.pixelColor(title)));
        // The icon shows in its place, unless this game's art leaves it out.
        const QImage withIcon = draw(id, format, size, {}, bright());
        const QPoint icon = GameArtwork::iconRect(format, size).center().toPoint();
        QCOMPARE(withIcon.pixel(icon) == qRgb(255, 255, 255), GameArtwork::showsIcon(id, format));
        QCOMPARE(GameArtwork::showsIcon(id, format), format == Format::hero || id != u"swirlo");
        QCOMPARE(withIcon == withoutIcon, !GameArtwork::showsIcon(id, format));
    }

    void bothChessIdsDrawTheSame()
    {
        for (Format format : {Format::hero, Format::cover}) {
            QCOMPARE(draw(u"chequar"_qs, format, frame(format), {}, bright()),
                     draw(u"CHEQUOR"_qs, format, frame(format), {}, bright()));
            QVERIFY(draw(u"chequar"_qs, format, frame(format)) != draw(u"chequer"_qs, format, frame(format)));
        }
    }

    void titleInkReads_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<ThemeID>("theme");
        QTest::addColumn<Scheme>("scheme");
        for (const QString &id : games)
            for (ThemeID theme : allThemeIDs)
                for (Scheme scheme : {Scheme::light, Scheme::dark})
                    if (theme == ThemeID::modern || scheme == Scheme::dark)
                        QTest::addRow("%s %s %d", qPrintable(id), qPrintable(rawValue(theme)), int(scheme))
                            << id << theme << scheme;
    }
    void titleInkReads()
    {
        QFETCH(QString, id);
        QFETCH(ThemeID, theme);
        QFETCH(Scheme, scheme);
        const QColor ink = GameArtwork::titleInk(theme, {scheme, {}});
        for (Format format : {Format::hero, Format::cover}) {
            // The last: a banner narrowed by the detail pane still has room for its title.
            for (QSize size : {frame(format), frame(format) * 2, QSize(frame(format).width() * 5 / 8, frame(format).height())}) {
                const QImage art = draw(id, format, size, {}, bright(), theme, scheme);
                const QRect title = GameArtwork::titleRect(format, size).toAlignedRect();
                QVERIFY(title.width() > size.width() / 3 && art.rect().contains(title));
                double worst = 21;
                for (int y = title.top(); y <= title.bottom(); ++y)
                    for (int x = title.left(); x <= title.right(); ++x)
                        worst = std::min(worst, contrast(ink, art.pixelColor(x, y)));
                QVERIFY2(worst >= 4.5, qPrintable(QStringLiteral("%1 %2: %3").arg(rawValue(format)).arg(size.width()).arg(worst)));
            }
        }
    }

    void providerDrawsOnceAtTheAskedSize()
    {
        const auto icons = std::make_shared<VerifiedIcons>();
        icons->set({{u"tumbit"_qs, bright()}});
        ArtworkProvider provider(icons);
        QSize size;
        const QImage first = provider.requestImage(u"tumbit/cover/atrium/light/abc"_qs, &size, {376, 240});
        QCOMPARE(size, QSize(376, 240));
        QCOMPARE(first, draw(u"tumbit"_qs, Format::cover, size, {}, bright(), ThemeID::atrium, Scheme::light));
        QCOMPARE(provider.requestImage(u"tumbit/cover/atrium/light/abc"_qs, &size, {376, 240}).cacheKey(), first.cacheKey());
        QCOMPARE(provider.requestImage(u"tumbit/hero/angkor/dark/none"_qs, &size, {800, 220}),
                 draw(u"tumbit"_qs, Format::hero, {800, 220}, {}, {}, ThemeID::angkor));
    }
};

QTEST_MAIN(GameArtTest)
#include "GameArtTest.moc"
