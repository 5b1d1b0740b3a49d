#include <ui/LibraryView.h>

#include <ui/QmlNames.h>
#include <ui/StatusPresentation.h>
#include <ui/TitleDetail.h>

#include <install/InstallEngine.h>
#include <library/LibraryModel.h>

#include <QCoreApplication>

namespace vantry {

namespace {

QString text(const char *english)
{
    return QCoreApplication::translate("Vantry", english);
}

QVariantMap asMap(const QList<QByteArray> &roles, const KeyedListModel::Row &row)
{
    QVariantMap map;
    for (qsizetype i = 0; i < roles.size(); ++i)
        map.insert(QString::fromLatin1(roles[i]), row.values.value(i));
    return map;
}

} // namespace

LibraryView::LibraryView(LibraryModel &model, InstallEngine &engine, QObject *parent)
    : QObject(parent), m_model(model), m_engine(engine),
      m_shelves({"kind", "title", "identifier", "cards"}),
      m_comingSoon({"name", "tagline", "identifier"}),
      m_detail(new TitleDetail(model, engine, this))
{
    for (auto signal : {&LibraryModel::catalogChanged, &LibraryModel::statesChanged,
                        &LibraryModel::iconsChanged, &LibraryModel::installedVersionsChanged})
        connect(&m_model, signal, this, &LibraryView::rebuild);
    connect(&m_model, &LibraryModel::statesChanged, this, &LibraryView::noteJobEnds);
    connect(&m_model, &LibraryModel::isOfflineChanged, this, &LibraryView::offlineChanged);
    connect(&m_model, &LibraryModel::noticeChanged, this, &LibraryView::noticeChanged);
    connect(&m_model, &LibraryModel::launcherUpdateAvailableChanged, this,
            &LibraryView::launcherUpdateAvailableChanged);
    connect(m_detail, &TitleDetail::actionPressed, this, &LibraryView::actionPressed);

    QList<KeyedListModel::Row> announced;
    for (const ClubhouseComingSoonGame &game : ClubhouseComingSoonGame::announced())
        announced.append({game.id, {game.name, game.tagline, u"clubhouse.coming-soon."_qs + game.id}});
    m_comingSoon.setRows(announced);
    m_lastStates = m_model.states();
    rebuild();
}

LibraryView::~LibraryView() = default;

QList<QByteArray> LibraryView::cardRoles()
{
    return {"titleId",  "name",      "tagline", "badgeKind", "badgeLabel", "pillText",
            "pillIcon", "pillTone",  "noteText", "noteIcon", "noteAlert",  "actions",
            "icon",     "version",   "progress", "accessibleName"};
}

QString LibraryView::filter() const
{
    return ContentView::rawValue(m_filter);
}

void LibraryView::setFilter(const QString &raw)
{
    const auto chosen = ContentView::libraryFilterFromRaw(raw);
    if (!chosen || *chosen == m_filter)
        return;
    m_filter = *chosen;
    Q_EMIT filterChanged();
    rebuild();
}

QVariantList LibraryView::filters() const
{
    QVariantList list;
    for (const ContentView::LibraryFilter each : ContentView::allLibraryFilters) {
        list.append(QVariantMap{{u"raw"_qs, ContentView::rawValue(each)},
                                {u"label"_qs, ContentView::label(each)},
                                {u"help"_qs, ContentView::helpText(each)}});
    }
    return list;
}

void LibraryView::setSelectedId(const QString &titleId)
{
    const std::optional<QString> chosen =
        titleId.isEmpty() ? std::nullopt : std::optional<QString>(titleId);
    if (chosen == m_selection)
        return;
    m_selection = chosen;
    m_detail->setTitleId(titleId);
    Q_EMIT selectedIdChanged();
    rebuild();
}

QString LibraryView::comingSoonCount() const
{
    return comingSoonCountLabel(ClubhouseComingSoonGame::announced().size());
}

QVariantMap LibraryView::emptyPanel() const
{
    const EmptyShelfPanel panel = emptyShelfPanel();
    return {{u"icon"_qs, symbolIconName(panel.symbol)},
            {u"title"_qs, panel.title},
            {u"hint"_qs, panel.hint}};
}

bool LibraryView::offline() const
{
    return m_model.isOffline();
}

QString LibraryView::notice() const
{
    return m_model.notice().value_or(QString());
}

bool LibraryView::launcherUpdateAvailable() const
{
    return m_model.launcherUpdateAvailable();
}

void LibraryView::act(const QString &titleId, const QString &action)
{
    const auto chosen = QmlNames::cardAction(action);
    if (!chosen)
        return;
    Q_EMIT actionPressed();
    performCardAction(*chosen, titleId, m_model, m_engine);
}

void LibraryView::dismissNotice()
{
    m_model.clearNotice();
}

void LibraryView::refresh()
{
    static_cast<void>(m_model.refresh()); // runs on by itself
}

QString LibraryView::icon(const QString &symbol) const
{
    return symbolIconName(symbol);
}

KeyedListModel::Row LibraryView::cardRow(const Catalog::Entry &entry) const
{
    // A title the model has no state for shows its name and nothing of a state.
    QString badgeKind, badgeLabel, pillText, pillIcon, noteText, noteIcon;
    QString pillTone = QmlNames::name(ClubhouseStatePresentation::Tone::neutral);
    QString accessibleName = entry.name;
    bool noteAlert = false;
    double progress = -1.0;
    QVariantList actions;
    if (const auto found = m_model.states().constFind(entry.id); found != m_model.states().cend()) {
        const TitleState &state = *found;
        if (const std::optional<CardBadge> badge = cardBadge(state)) {
            badgeKind = QmlNames::name(badge->kind);
            badgeLabel = badge->label;
        }
        const ClubhouseStatePresentation pill = statePresentation(state);
        pillText = pill.text;
        pillIcon = symbolIconName(pill.symbol);
        pillTone = QmlNames::name(pill.tone);
        accessibleName = text("%1, %2").arg(entry.name, pill.text);
        if (const std::optional<StateNote> note = stateNote(state)) {
            noteText = note->text;
            noteIcon = symbolIconName(note->symbol);
            noteAlert = note->alert;
        }
        if (state.discriminator() == TitleState::Case::downloading)
            progress = state.fraction();
        actions = QmlNames::actionList(state);
    }
    return {entry.id,
            {entry.id, entry.name, entry.tagline, badgeKind, badgeLabel, pillText, pillIcon,
             pillTone, noteText, noteIcon, noteAlert, actions,
             QmlNames::iconSource(entry, m_model.icons().contains(entry.id)),
             m_model.installedVersionText(entry.id).value_or(QString()), progress, accessibleName}};
}

void LibraryView::rebuild()
{
    const TitleStates &states = m_model.states();
    const QList<Catalog::Entry> catalog = m_model.catalog() ? m_model.catalog()->games
                                                            : QList<Catalog::Entry>();
    const QList<Catalog::Entry> visible = visibleEntries(catalog, states, m_filter);
    // A hero being installed stays featured until its job ends, so that it does not jump away.
    const QString shown = m_hero.value(u"titleId"_qs).toString();
    const bool shownInFlight =
        states.contains(shown) && TitleState::isInFlight(states.value(shown).discriminator());
    const std::optional<QString> featured = featuredEntryID(
        visible, states, m_selection, shownInFlight ? std::optional(shown) : std::nullopt);

    QVariantMap hero;
    for (const Catalog::Entry &entry : visible) {
        if (featured && entry.id == *featured)
            hero = asMap(cardRoles(), cardRow(entry));
    }
    if (hero != m_hero) {
        m_hero = hero;
        Q_EMIT heroChanged();
    }

    const bool wasEmpty = empty();
    QList<KeyedListModel::Row> shelfRows;
    for (const ClubhouseShelfGroup &group : shelfGroups(visible, states, featured)) {
        KeyedListModel *&cards = m_shelfCards[int(group.kind)];
        if (!cards)
            cards = new KeyedListModel(cardRoles(), this);
        QList<KeyedListModel::Row> rows;
        for (const Catalog::Entry &entry : group.entries)
            rows.append(cardRow(entry));
        cards->setRows(rows);
        const QString raw = rawValue(group.kind);
        shelfRows.append({raw,
                          {raw, shelfTitle(group.kind), u"clubhouse.shelf."_qs + raw,
                           QVariant::fromValue<QObject *>(cards)}});
    }
    m_shelves.setRows(shelfRows);
    if (wasEmpty != empty())
        Q_EMIT shelvesChanged();
}

void LibraryView::noteJobEnds()
{
    const QHash<QString, TitleState> &now = m_model.states();
    for (auto before = m_lastStates.cbegin(); before != m_lastStates.cend(); ++before) {
        if (!TitleState::isInFlight(before->discriminator()))
            continue;
        const auto after = now.constFind(before.key());
        if (after == now.cend())
            continue;
        const auto entry = m_model.entry(before.key());
        const QString name = entry ? entry->name : before.key();
        if (after->discriminator() == TitleState::Case::installed)
            Q_EMIT jobEnded(before.key(), name, true, {});
        else if (after->discriminator() == TitleState::Case::failed)
            Q_EMIT jobEnded(before.key(), name, false, after->text());
    }
    m_lastStates = now;
}

} // namespace vantry
