// vantry-artsheet OUT.png: every demo game's drawn artwork, and the fallback's, as banner and
// cover in every theme, on one labelled sheet; prints how long the drawing takes.
#include <ui/GameArtwork.h>
#include <ui/Theme.h>

#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QTextStream>

#include <array>

using namespace vantry;

namespace {

struct Column {
    ThemeID theme;
    Appearance::Scheme scheme;
    QString heading;
};

const QStringList games {u"sweepler"_qs, u"mazzle"_qs,  u"tumbit"_qs, u"numbo"_qs,
                         u"swirlo"_qs,   u"chequor"_qs, u"newcomer"_qs};

constexpr QSize hero(372, 80);
constexpr QSize cover(122, 78);
constexpr int gap = 12;
constexpr int rowHeight = 96;
constexpr int top = 56;

QImage seedIcon(const QString &id)
{
    return QImage(u":/SeedIcons/"_qs + id + u".png"_qs);
}

QFont font(int pixels, bool bold)
{
    QFont f(QStringLiteral("sans-serif"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QString displayed(const QString &id)
{
    return id.left(1).toUpper() + id.mid(1);
}

void drawTile(QPainter &painter, const GameArtwork::Request &request, QPoint at, int titlePixels)
{
    painter.drawImage(at, GameArtwork::render(request));
    const QRectF title = GameArtwork::titleRect(request.format, request.size).translated(at);
    painter.setFont(font(titlePixels, true));
    painter.setPen(GameArtwork::titleInk(request.theme, request.appearance));
    const Qt::Alignment align = request.format == GameArtwork::Format::hero
        ? Qt::AlignLeft | Qt::AlignVCenter
        : Qt::AlignLeft | Qt::AlignBottom;
    painter.drawText(title, align, displayed(request.entryID));
}

double millisecondsFor(GameArtwork::Format format, QSize size)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &id : games)
        static_cast<void>(GameArtwork::render({id, seedIcon(id), format, size, ThemeID::arcade, {}}));
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream out(stdout), err(stderr);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() != 2) {
        err << "usage: vantry-artsheet OUT.png\n";
        return 2;
    }
    const std::array<Column, 5> columns {{
        {ThemeID::modern, Appearance::Scheme::light, u"Modern (light)"_qs},
        {ThemeID::modern, Appearance::Scheme::dark, u"Modern (dark)"_qs},
        {ThemeID::arcade, Appearance::Scheme::dark, u"Arcade"_qs},
        {ThemeID::atrium, Appearance::Scheme::light, u"Atrium"_qs},
        {ThemeID::angkor, Appearance::Scheme::dark, u"Angkor"_qs},
    }};
    const int columnWidth = gap + hero.width() + gap + cover.width() + gap;
    QImage sheet(int(columns.size()) * columnWidth, top + int(games.size()) * rowHeight + gap,
                 QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0x1E1E22));
    QPainter painter(&sheet);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    for (int c = 0; c < int(columns.size()); ++c) {
        const Column &column = columns[size_t(c)];
        const Appearance appearance {column.scheme, QColor(0x3478F6)};
        const Theme &theme = Theme::forID(column.theme);
        const QRect band(c * columnWidth, 0, columnWidth, sheet.height());
        QLinearGradient window(band.topLeft(), band.bottomLeft());
        window.setColorAt(0, theme.windowTop.resolved(appearance));
        window.setColorAt(1, theme.windowBottom.resolved(appearance));
        painter.fillRect(band, window);
        painter.setPen(theme.primaryText.resolved(appearance));
        painter.setFont(font(18, true));
        painter.drawText(QRect(band.left() + gap, 0, columnWidth, top), Qt::AlignVCenter,
                         column.heading);
        painter.setFont(font(11, false));
        painter.setPen(theme.secondaryText.resolved(appearance));
        for (int g = 0; g < int(games.size()); ++g) {
            const QString &id = games[g];
            const int y = top + g * rowHeight;
            const QImage icon = seedIcon(id);
            drawTile(painter, {id, icon, GameArtwork::Format::hero, hero, column.theme, appearance},
                     QPoint(band.left() + gap, y), 22);
            drawTile(painter,
                     {id, icon, GameArtwork::Format::cover, cover, column.theme, appearance},
                     QPoint(band.left() + 2 * gap + hero.width(), y), 12);
            painter.setFont(font(10, false));
            painter.setPen(theme.secondaryText.resolved(appearance));
            painter.drawText(QPoint(band.left() + gap, y + hero.height() + 12),
                             icon.isNull() ? id + u" (no icon: fallback art)"_qs : id);
        }
    }
    painter.end();
    if (!sheet.save(arguments.at(1))) {
        err << "cannot write " << arguments.at(1) << '\n';
        return 1;
    }
    for (const auto &[name, format, size] :
         {std::tuple {u"hero"_qs, GameArtwork::Format::hero, QSize(1040, 220)},
          std::tuple {u"hero"_qs, GameArtwork::Format::hero, QSize(2080, 440)},
          std::tuple {u"cover"_qs, GameArtwork::Format::cover, QSize(188, 120)},
          std::tuple {u"cover"_qs, GameArtwork::Format::cover, QSize(376, 240)}}) {
        static_cast<void>(millisecondsFor(format, size)); // warm the font caches
        out << "all " << games.size() << " artworks, " << name << ' ' << size.width() << 'x'
            << size.height() << ": " << QString::number(millisecondsFor(format, size), 'f', 1)
            << " ms\n";
    }
    return 0;
}
