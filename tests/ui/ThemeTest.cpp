#include <ui/Theme.h>

#include <QCoroTask>
#include <QPalette>
#include <QTest>

using namespace vantry;
using Scheme = Appearance::Scheme;
using Preference = DesktopAppearance::Preference;
using Portal = DesktopAppearance::ColorScheme;
using Kind = Theme::BadgeKind;
Q_DECLARE_METATYPE(ThemeID)
Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Scheme)
Q_DECLARE_METATYPE(Preference)

static const QColor ink(0x101014), white(Qt::white);
static Appearance look(Scheme scheme, QColor accent = {}) { return {scheme, accent}; }

class ThemeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void badges_data()
    {
        QTest::addColumn<ThemeID>("id");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Appearance>("appearance");
        QTest::addColumn<QColor>("fill");
        QTest::addColumn<QColor>("ink");
        const auto row = [](const char *name, ThemeID id, Kind kind, Appearance a, QColor fill, QColor ink) {
            QTest::newRow(name) << id << kind << a << fill << ink;
        };
        row("arcade get", ThemeID::arcade, Kind::get, look(Scheme::dark), QColor(0xEC2C8A), QColor(0x14101E));
        row("atrium failed", ThemeID::atrium, Kind::failed, look(Scheme::light), QColor(0xD0342C), QColor(0xFDF9F0));
        row("angkor running", ThemeID::angkor, Kind::running, look(Scheme::light), QColor(0x3B3128), QColor(0xD9BE73));
        row("modern dark unavailable", ThemeID::modern, Kind::unavailable, look(Scheme::dark), QColor(0x333338), QColor(0xA8A8B0));
        // In modern the ink follows the fill's luminance, white up to 0.179.
        const auto accent = [&](const char *name, QColor fill, QColor ink) {
            row(name, ThemeID::modern, Kind::update, look(Scheme::light, fill), fill, ink);
        };
        accent("grey 117, luminance just under 0.179", QColor(0x757575), white);
        accent("grey 118, luminance just over 0.179", QColor(0x767676), ink);
        accent("red, 0.2126", QColor(0xFF0000), ink);
        accent("blue, 0.0722", QColor(0x0000FF), white);
        accent("white given as HSV", QColor::fromHsv(0, 0, 255), ink);
        row("modern without accent", ThemeID::modern, Kind::get, look(Scheme::light), QColor(0x007AFF), ink);
        row("modern light failed", ThemeID::modern, Kind::failed, look(Scheme::light), QColor(0xD7263D), white);
        row("modern dark failed", ThemeID::modern, Kind::failed, look(Scheme::dark), QColor(0xFF5A4E), ink);
    }
    void badges()
    {
        QFETCH(ThemeID, id);
        QFETCH(Kind, kind);
        QFETCH(Appearance, appearance);
        const Theme::BadgeColors badge = Theme::forID(id).badge(kind, appearance);
        QTEST(badge.fill, "fill");
        QTEST(badge.ink, "ink");
    }
    void inkOnWhatIsNotAColourIsWhite() { QCOMPARE(Theme::readableInk(QColor()), white); }

    // A few exact values per palette: window bottom, icon well, counter text, selected segment.
    void palettes_data()
    {
        QTest::addColumn<ThemeID>("id");
        QTest::addColumn<Scheme>("scheme");
        QTest::addColumn<QList<QColor>>("colours");
        QTest::addColumn<QVariantList>("shape"); // corner radius, font design, material
        const auto row = [](ThemeID id, Scheme s, std::initializer_list<QRgb> c, double r, Theme::FontDesign d, bool m) {
            QTest::addRow("%s %d", qPrintable(rawValue(id)), int(s))
                << id << s << QList<QColor>(c.begin(), c.end()) << QVariantList{r, int(d), m};
        };
        using F = Theme::FontDesign;
        row(ThemeID::modern, Scheme::light, {0xDDDDE3, 0xE9E9EE, 0xF2F2F5, 0x1A1A1E}, 12, F::standard, true);
        row(ThemeID::modern, Scheme::dark, {0x161619, 0x1C1C20, 0xECECF2, 0xF2F2F5}, 12, F::standard, true);
        row(ThemeID::arcade, Scheme::light, {0x0C0A12, 0x161022, 0x9FE8FF, 0x14101E}, 10, F::rounded, false);
        row(ThemeID::atrium, Scheme::dark, {0xE8DFCE, 0xEFE7D6, 0xF2E3C6, 0xFDF9F0}, 14, F::serif, false);
        row(ThemeID::angkor, Scheme::light, {0x2A231C, 0x2B1F14, 0xE8C87A, 0x2A231C}, 12, F::serif, false);
    }
    void palettes()
    {
        QFETCH(ThemeID, id);
        QFETCH(Scheme, scheme);
        const Theme &t = Theme::forID(id);
        const Appearance a = look(scheme);
        QTEST((QList<QColor>{t.windowBottom.resolved(a), t.iconWellFill.resolved(a), t.counterText.resolved(a),
                             t.selectedSegmentText.resolved(a)}), "colours");
        QTEST((QVariantList{t.panelCornerRadius, int(t.displayFontDesign), t.usesMaterial}), "shape");
    }

    void appearance_data()
    {
        QTest::addColumn<Preference>("desktop");
        QTest::addColumn<QRgb>("window");
        QTest::addColumn<Scheme>("scheme");
        QTest::addColumn<QColor>("accent");
        const Preference none, red{Portal::dark, std::array{1.0, 0.0, 0.0}};
        QTest::newRow("portal dark, light palette") << red << QRgb(0xF0F0F0) << Scheme::dark << QColor(Qt::red);
        QTest::newRow("portal light, dark palette") << Preference{Portal::light, {}} << QRgb(0x202020) << Scheme::light << QColor();
        QTest::newRow("no preference is light") << Preference{Portal::noPreference, {}} << QRgb(0x202020) << Scheme::light << QColor();
        QTest::newRow("no portal: dark palette") << none << QRgb(0x202020) << Scheme::dark << QColor();
        QTest::newRow("no portal: light palette") << none << QRgb(0xF0F0F0) << Scheme::light << QColor();
    }
    // An invalid accent in a row stands for the palette's highlight. Without a portal answer
    // (no session bus here) the asynchronous reading is decided by the palette alone.
    void appearance()
    {
        QFETCH(Preference, desktop);
        QFETCH(QRgb, window);
        QFETCH(QColor, accent);
        const QPalette palette(QColor(Qt::gray), QColor(window));
        const Appearance a = appearanceFrom(desktop, palette);
        QTEST(a.scheme, "scheme");
        QCOMPARE(a.accent, accent.isValid() ? accent : palette.color(QPalette::Highlight));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vantry-test-bus");
        if (!desktop.colorScheme)
            QCOMPARE(QCoro::waitFor(currentAppearance(palette)).scheme, a.scheme);
    }
};

QTEST_GUILESS_MAIN(ThemeTest)
#include "ThemeTest.moc"
