#include <ui/Shelves.h>
#include <ui/StatusPresentation.h>

#include <QTest>

using namespace vantry;
using namespace Qt::StringLiterals;
using Action = GameCardView::CardAction;
using Tone = ClubhouseStatePresentation::Tone;
using Shelf = ClubhouseShelfGroup::Kind;
using Filter = ContentView::LibraryFilter;
using Badge = Theme::BadgeKind;
using Step = VerificationStep;
Q_DECLARE_METATYPE(TitleState)
Q_DECLARE_METATYPE(Tone)
Q_DECLARE_METATYPE(Shelf)
Q_DECLARE_METATYPE(Filter)
Q_DECLARE_METATYPE(ThemeID)

static const QColor ink(0x101014), white(Qt::white);
static const QString noNote = u"none"_s;

// The catalog "a".."i": "e" is not released yet; "d" has no state.
static const TitleStates known{
    {u"a"_s, TitleState::available()}, {u"b"_s, TitleState::installed()}, {u"c"_s, TitleState::updateAvailable()},
    {u"e"_s, TitleState::installed()}, {u"f"_s, TitleState::running()}, {u"g"_s, TitleState::updateAvailable()},
    {u"h"_s, TitleState::failed(std::nullopt, u"broken"_s)}, {u"i"_s, TitleState::downloading(0.5)}};
static QList<Catalog::Entry> entries(const QString &ids)
{
    QList<Catalog::Entry> list;
    for (const QString &id : ids.split(u' ', Qt::SkipEmptyParts)) {
        list.append(Catalog::Entry{});
        list.back().id = id;
        list.back().released = id != u"e";
    }
    return list;
}
static QString ids(const QList<Catalog::Entry> &list)
{
    QStringList out;
    for (const Catalog::Entry &e : list)
        out.append(e.id);
    return out.join(u' ');
}
static std::optional<QString> maybe(const QString &s) { return s.isNull() ? std::nullopt : std::optional(s); }

class PresentationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void states_data()
    {
        QTest::addColumn<TitleState>("state");
        QTest::addColumn<int>("badge"); // -1: no badge
        QTest::addColumn<Tone>("tone");
        QTest::addColumn<Shelf>("shelf");
        QTest::addColumn<int>("note"); // -1: no note, else whether it alerts
        QTest::addColumn<QList<Action>>("actions");
        const auto row = [](const char *name, TitleState s, int b, Tone t, Shelf sh, int n, QList<Action> a) {
            QTest::newRow(name) << s << b << t << sh << n << a;
        };
        row("available", TitleState::available(), int(Badge::get), Tone::accent, Shelf::available, -1, {Action::install});
        row("newer system", TitleState::requiresNewerMacOS(u"14.2"_s), int(Badge::unavailable), Tone::celebration, Shelf::attention, 0, {});
        row("unavailable", TitleState::unavailable(u"offline"_s), int(Badge::unavailable), Tone::neutral, Shelf::attention, 0, {});
        row("queued", TitleState::queued(), -1, Tone::neutral, Shelf::preparing, -1, {Action::cancel});
        row("downloading", TitleState::downloading(0.5), -1, Tone::accent, Shelf::preparing, -1, {Action::cancel});
        row("verifying", TitleState::verifying(Step::mount), -1, Tone::neutral, Shelf::preparing, 0, {});
        row("installing", TitleState::installing(Step::extract), -1, Tone::neutral, Shelf::preparing, 0, {});
        row("installed", TitleState::installed(), int(Badge::installed), Tone::accent, Shelf::ready, -1, {Action::play});
        row("update", TitleState::updateAvailable(), int(Badge::update), Tone::accent, Shelf::ready, -1, {Action::install, Action::play});
        row("running", TitleState::running(), int(Badge::running), Tone::neutral, Shelf::ready, -1, {});
        row("failed", TitleState::failed(Step::codesign, u"bad"_s), int(Badge::failed), Tone::alert, Shelf::attention, 1, {Action::retry});
    }
    void states()
    {
        QFETCH(TitleState, state);
        QFETCH(int, note);
        const std::optional<CardBadge> badge = cardBadge(state);
        QTEST(badge ? int(badge->kind) : -1, "badge");
        QTEST(statePresentation(state).tone, "tone");
        QTEST(shelfKind(state), "shelf");
        QTEST(cardActions(state), "actions");
        const std::optional<StateNote> n = stateNote(state);
        QCOMPARE(n ? int(n->alert) : -1, note);
        QVERIFY(symbolIconName(statePresentation(state).symbol) != u"image-missing");
        QVERIFY(!n || symbolIconName(n->symbol) != u"image-missing");
    }
    void titleWithoutStateNeedsAttention() { QCOMPARE(shelfKind(std::nullopt), Shelf::attention); }

    // A null text is not checked.
    void texts_data()
    {
        QTest::addColumn<TitleState>("state");
        QTest::addColumn<QString>("pill");
        QTest::addColumn<QString>("badge");
        QTest::addColumn<QString>("note");
        QTest::newRow("0.999 drops the fraction") << TitleState::downloading(0.999) << u"Downloading 99%"_s << QString() << noNote;
        QTest::newRow("0.0") << TitleState::downloading(0.0) << u"Downloading 0%"_s << QString() << noNote;
        QTest::newRow("1.0") << TitleState::downloading(1.0) << u"Downloading 100%"_s << QString() << noNote;
        QTest::newRow("14.2") << TitleState::requiresNewerMacOS(u"14.2"_s) << u"Needs glibc 14.2"_s << u"REQUIRES glibc 14.2"_s
                              << u"This game needs glibc 14.2 or later."_s;
        QTest::newRow("verifying names its step") << TitleState::verifying(Step::notarization) << QString() << QString()
                                                  << stepName(Step::notarization);
        QTest::newRow("unavailable shows its reason") << TitleState::unavailable(u"No network"_s) << QString() << QString() << u"No network"_s;
    }
    void texts()
    {
        QFETCH(TitleState, state);
        QFETCH(QString, pill);
        QFETCH(QString, badge);
        QFETCH(QString, note);
        if (!pill.isNull())
            QCOMPARE(statePresentation(state).text, pill);
        if (!badge.isNull())
            QCOMPARE(cardBadge(state).value().label, badge);
        QCOMPARE(stateNote(state) ? stateNote(state)->text : noNote, note);
    }
    void failedShowsTheMessageNotTheStep()
    {
        const TitleState with = TitleState::failed(Step::codesign, u"Broken"_s), without = TitleState::failed(std::nullopt, u"Broken"_s);
        QCOMPARE(statePresentation(with), statePresentation(without));
        QCOMPARE(stateNote(with), stateNote(without));
        QCOMPARE(stateNote(without)->text, u"Broken");
        QVERIFY(actionTitle(Action::install, TitleState::updateAvailable()) != actionTitle(Action::install, TitleState::available()));
    }

    void pillInks_data()
    {
        QTest::addColumn<ThemeID>("id");
        QTest::addColumn<Tone>("tone");
        QTest::addColumn<Appearance>("appearance");
        QTest::addColumn<QColor>("ink");
        const auto row = [](const char *name, ThemeID id, Tone t, Appearance a, QColor c) { QTest::newRow(name) << id << t << a << c; };
        const Appearance light{Appearance::Scheme::light, {}}, dark{Appearance::Scheme::dark, {}};
        row("modern light accent", ThemeID::modern, Tone::accent, {Appearance::Scheme::dark, QColor(0xFFFFE0)}, ink);
        row("modern dark accent", ThemeID::modern, Tone::accent, {Appearance::Scheme::light, QColor(0x000080)}, white);
        row("modern alert light", ThemeID::modern, Tone::alert, light, white);
        row("modern alert dark", ThemeID::modern, Tone::alert, dark, ink);
        row("modern celebration", ThemeID::modern, Tone::celebration, light, ink);
        row("modern neutral", ThemeID::modern, Tone::neutral, dark, QColor(0xF2F2F5));
        row("arcade accent", ThemeID::arcade, Tone::accent, dark, QColor(0x14101E));
        row("atrium accent is not by luminance", ThemeID::atrium, Tone::accent, light, QColor(0xFDF9F0));
        row("atrium celebration", ThemeID::atrium, Tone::celebration, light, QColor(0xFDF9F0));
        row("angkor alert", ThemeID::angkor, Tone::alert, light, QColor(0x2A231C));
        row("angkor neutral", ThemeID::angkor, Tone::neutral, light, QColor(0xF0E6D2));
    }
    void pillInks()
    {
        QFETCH(ThemeID, id);
        QFETCH(Tone, tone);
        QFETCH(Appearance, appearance);
        QTEST(pillInk(tone, Theme::forID(id), appearance), "ink");
    }

    // Null selection, preferred or featured means none; groups read "kind:ids|...".
    void library_data()
    {
        QTest::addColumn<QString>("catalog");
        QTest::addColumn<Filter>("filter");
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QString>("preferred");
        QTest::addColumn<QString>("visible");
        QTest::addColumn<QString>("featured");
        QTest::addColumn<QString>("groups");
        const QString all = u"a b c d e f g h i"_s, none;
        const auto row = [](const char *name, QString cat, Filter f, QString sel, QString pref, QString vis, QString feat, QString groups) {
            QTest::newRow(name) << cat << f << sel << pref << vis << feat << groups;
        };
        row("all; two updates", all, Filter::all, none, none, u"a b c d f g h i"_s, u"c"_s, u"ready:b f g|preparing:i|available:a|attention:d h"_s);
        row("installed", all, Filter::installed, none, none, u"b c f g"_s, u"c"_s, u"ready:b f g"_s);
        row("updates", all, Filter::updates, none, none, u"c g"_s, u"c"_s, u"ready:g"_s);
        row("updates without any", u"a b d h"_s, Filter::updates, none, none, u""_s, none, u""_s);
        row("selection filtered out", all, Filter::installed, u"a"_s, none, u"b c f g"_s, u"c"_s, u"ready:b f g"_s);
        row("selection over preferred", all, Filter::all, u"h"_s, u"b"_s, u"a b c d f g h i"_s, u"h"_s, u"ready:b c f g|preparing:i|available:a|attention:d"_s);
        row("preferred when selection hidden", all, Filter::installed, u"a"_s, u"f"_s, u"b c f g"_s, u"f"_s, u"ready:b c g"_s);
        row("hidden preferred", all, Filter::all, u"zz"_s, u"e"_s, u"a b c d f g h i"_s, u"c"_s, u"ready:b f g|preparing:i|available:a|attention:d h"_s);
        row("running without updates", u"a d f b h"_s, Filter::all, none, none, u"a d f b h"_s, u"f"_s, u"ready:b|available:a|attention:d h"_s);
        row("first entry", u"d a h"_s, Filter::all, none, none, u"d a h"_s, u"d"_s, u"available:a|attention:h"_s);
    }
    void library()
    {
        QFETCH(QString, catalog);
        QFETCH(Filter, filter);
        QFETCH(QString, selection);
        QFETCH(QString, preferred);
        const QList<Catalog::Entry> visible = visibleEntries(entries(catalog), known, filter);
        QTEST(ids(visible), "visible");
        const std::optional<QString> featured = featuredEntryID(visible, known, maybe(selection), maybe(preferred));
        QTEST(featured.value_or(QString()), "featured");
        QStringList groups;
        for (const ClubhouseShelfGroup &g : shelfGroups(visible, known, featured))
            groups.append(rawValue(g.kind) + u':' + ids(g.entries));
        QTEST(groups.join(u'|'), "groups");
    }

    void namesAndLabels()
    {
        for (const Filter f : ContentView::allLibraryFilters)
            QCOMPARE(ContentView::libraryFilterFromRaw(ContentView::rawValue(f)), f);
        QCOMPARE(ContentView::libraryFilterFromRaw(u"All"_s), std::nullopt);
        QCOMPARE(comingSoonCountLabel(0), u"0 games");
        QCOMPARE(comingSoonCountLabel(1), u"1 game");
        QVERIFY(symbolIconName(emptyShelfPanel().symbol) != u"image-missing");
        QCOMPARE(symbolIconName(u"gearshape.2"_s), u"image-missing");
    }
};

QTEST_GUILESS_MAIN(PresentationTest)
#include "PresentationTest.moc"
