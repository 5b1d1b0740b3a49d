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
    for (const QString &id : ids.split(u' ', Qt::SkipEmptyParts))
        list.append(Catalog::Entry{}), list.back().id = id, list.back().released = id != u"e";
    return list;
}
static QString ids(const QList<Catalog::Entry> &list)
{
    QStringList out;
    std::transform(list.cbegin(), list.cend(), std::back_inserter(out), [](const Catalog::Entry &e) { return e.id; });
    return out.join(u' ');
}

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
        const auto row = [](const char *name, TitleState s, int b, Tone t, Shelf sh, int n, QList<Action> a) { QTest::newRow(name) << s << b << t << sh << n << a; };
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
        QTEST(cardBadge(state) ? int(cardBadge(state)->kind) : -1, "badge");
        QTEST(statePresentation(state).tone, "tone");
        QTEST(shelfKind(state), "shelf");
        QTEST(cardActions(state), "actions");
        const std::optional<StateNote> n = stateNote(state);
        QTEST(n ? int(n->alert) : -1, "note");
        QVERIFY(symbolIconName(statePresentation(state).symbol) != u"image-missing" && (!n || symbolIconName(n->symbol) != u"image-missing"));
    }
    // Pill, badge label and note; a null text is not checked.
    void texts_data()
    {
        QTest::addColumn<TitleState>("state");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("0.999 drops the fraction") << TitleState::downloading(0.999) << QStringList{u"Downloading 99%"_s, {}, noNote};
        QTest::newRow("0.0") << TitleState::downloading(0.0) << QStringList{u"Downloading 0%"_s, {}, noNote};
        QTest::newRow("1.0") << TitleState::downloading(1.0) << QStringList{u"Downloading 100%"_s, {}, noNote};
        QTest::newRow("0.29 is not 28") << TitleState::downloading(0.29) << QStringList{u"Downloading 29%"_s, {}, noNote};
        QTest::newRow("14.2") << TitleState::requiresNewerMacOS(u"14.2"_s)
                              << QStringList{u"Needs glibc 14.2"_s, u"REQUIRES glibc 14.2"_s, u"This game needs glibc 14.2 or later."_s};
        QTest::newRow("verifying names its step") << TitleState::verifying(Step::notarization) << QStringList{{}, {}, stepName(Step::notarization)};
        QTest::newRow("unavailable shows its reason") << TitleState::unavailable(u"No network"_s) << QStringList{{}, {}, u"No network"_s};
    }
    void texts()
    {
        QFETCH(TitleState, state);
        QFETCH(QStringList, texts);
        QStringList got{statePresentation(state).text, cardBadge(state).value_or(CardBadge{}).label, stateNote(state).value_or(StateNote{noNote, {}, false}).text};
        for (int i = 0; i < got.size(); ++i)
            got[i] = texts[i].isNull() ? QString() : got[i];
        QCOMPARE(got, texts);
    }
    // Failed shows the message, not the step; names round-trip; the count label and symbols.
    void singleRules()
    {
        const TitleState with = TitleState::failed(Step::codesign, u"Broken"_s), without = TitleState::failed(std::nullopt, u"Broken"_s);
        QCOMPARE(statePresentation(with), statePresentation(without));
        QCOMPARE(stateNote(with), stateNote(without));
        QCOMPARE(stateNote(without)->text, u"Broken");
        for (const Filter f : ContentView::allLibraryFilters)
            QCOMPARE(ContentView::libraryFilterFromRaw(ContentView::rawValue(f)), f);
        QCOMPARE(ContentView::libraryFilterFromRaw(u"All"_s), std::nullopt);
        QCOMPARE(comingSoonCountLabel(0), u"0 games");
        QCOMPARE(comingSoonCountLabel(1), u"1 game");
        QVERIFY(symbolIconName(emptyShelfPanel().symbol) != u"image-missing");
        QCOMPARE(symbolIconName(u"gearshape.2"_s), u"image-missing");
    }
    void pillInks_data()
    {
        QTest::addColumn<QColor>("got");
        QTest::addColumn<QColor>("ink");
        const auto row = [](const char *name, ThemeID id, Tone t, Appearance a, QColor c) { QTest::newRow(name) << pillInk(t, Theme::forID(id), a) << c; };
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
        QFETCH(QColor, got);
        QTEST(got, "ink");
    }
    // Each row: filter;catalog;selection;preferred;visible;featured;shelves as "kind:ids/...";
    // "-" is none and the catalog "*" is "a".."i".
    void library_data()
    {
        QTest::addColumn<QStringList>("row");
        const auto row = [](const char *name, const char *fields) { QTest::newRow(name) << QString::fromUtf8(fields).split(u';'); };
        row("all; two updates", "all;*;-;-;a b c d f g h i;c;ready:b f g/preparing:i/available:a/attention:d h");
        row("installed", "installed;*;-;-;b c f g;c;ready:b f g");
        row("updates", "updates;*;-;-;c g;c;ready:g");
        row("updates without any", "updates;a b d h;-;-;;-;");
        row("selection filtered out", "installed;*;a;-;b c f g;c;ready:b f g");
        row("selection over preferred", "all;*;h;b;a b c d f g h i;h;ready:b c f g/preparing:i/available:a/attention:d");
        row("preferred when selection hidden", "installed;*;a;f;b c f g;f;ready:b c g");
        row("hidden preferred", "all;*;zz;e;a b c d f g h i;c;ready:b f g/preparing:i/available:a/attention:d h");
        row("running without updates", "all;a d f b h;-;-;a d f b h;f;ready:b/available:a/attention:d h");
        row("first entry", "all;d a h;-;-;d a h;d;available:a/attention:h");
    }
    void library()
    {
        QFETCH(QStringList, row);
        const auto field = [&](int i) { return row[i] == u"-" ? std::nullopt : std::optional(row[i]); };
        const auto visible = visibleEntries(entries(row[1] == u"*" ? u"a b c d e f g h i"_s : row[1]), known,
                                            ContentView::libraryFilterFromRaw(row[0]).value());
        QCOMPARE(ids(visible), row[4]);
        const std::optional<QString> featured = featuredEntryID(visible, known, field(2), field(3));
        QCOMPARE(featured.value_or(u"-"_s), row[5]);
        QStringList groups;
        for (const ClubhouseShelfGroup &g : shelfGroups(visible, known, featured))
            groups.append(rawValue(g.kind) + u':' + ids(g.entries));
        QCOMPARE(groups.join(u'/'), row[6]);
    }
};

QTEST_GUILESS_MAIN(PresentationTest)
#include "PresentationTest.moc"
