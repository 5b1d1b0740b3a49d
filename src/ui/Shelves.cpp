#include <ui/Shelves.h>

#include <QCoreApplication>

#include <algorithm>

namespace vantry {

using ContentView::LibraryFilter;
using Case = TitleState::Case;

namespace ContentView {

QString rawValue(LibraryFilter filter)
{
    switch (filter) {
    case LibraryFilter::all:
        return QStringLiteral("all");
    case LibraryFilter::installed:
        return QStringLiteral("installed");
    case LibraryFilter::updates:
        return QStringLiteral("updates");
    }
    return {};
}

QString label(LibraryFilter filter)
{
    switch (filter) {
    case LibraryFilter::all:
        return QCoreApplication::translate("Vantry", "All");
    case LibraryFilter::installed:
        return QCoreApplication::translate("Vantry", "Installed");
    case LibraryFilter::updates:
        return QCoreApplication::translate("Vantry", "Updates");
    }
    return {};
}

QString helpText(LibraryFilter filter)
{
    switch (filter) {
    case LibraryFilter::all:
        return QCoreApplication::translate("Vantry", "Every released title");
    case LibraryFilter::installed:
        return QCoreApplication::translate("Vantry", "Games you have installed");
    case LibraryFilter::updates:
        return QCoreApplication::translate("Vantry", "Installed games with a newer version");
    }
    return {};
}

std::optional<LibraryFilter> libraryFilterFromRaw(const QString &raw)
{
    for (const LibraryFilter filter : allLibraryFilters) {
        if (rawValue(filter) == raw)
            return filter;
    }
    return std::nullopt;
}

} // namespace ContentView

namespace {

std::optional<Case> caseOf(const TitleStates &states, const QString &id)
{
    const auto found = states.constFind(id);
    return found == states.cend() ? std::nullopt : std::optional(found->discriminator());
}

bool shownUnder(LibraryFilter filter, std::optional<Case> state)
{
    switch (filter) {
    case LibraryFilter::all:
        return true;
    case LibraryFilter::installed:
        return state == Case::installed || state == Case::updateAvailable ||
               state == Case::running;
    case LibraryFilter::updates:
        return state == Case::updateAvailable;
    }
    return false;
}

// The id of the first entry that `accept` takes, if any.
template<typename Accept>
std::optional<QString> firstWhere(const QList<Catalog::Entry> &entries, Accept accept)
{
    const auto found = std::find_if(entries.cbegin(), entries.cend(), accept);
    return found == entries.cend() ? std::nullopt : std::optional(found->id);
}

std::optional<QString> shownID(const QList<Catalog::Entry> &entries,
                               const std::optional<QString> &id)
{
    if (!id)
        return std::nullopt;
    return firstWhere(entries, [&](const Catalog::Entry &entry) { return entry.id == *id; });
}

} // namespace

QList<Catalog::Entry> visibleEntries(const QList<Catalog::Entry> &catalogOrder,
                                     const TitleStates &states, LibraryFilter filter)
{
    QList<Catalog::Entry> visible;
    for (const Catalog::Entry &entry : catalogOrder) {
        if (entry.released && shownUnder(filter, caseOf(states, entry.id)))
            visible.append(entry);
    }
    return visible;
}

std::optional<QString> featuredEntryID(const QList<Catalog::Entry> &entries,
                                       const TitleStates &states,
                                       const std::optional<QString> &selection,
                                       const std::optional<QString> &preferred)
{
    if (auto id = shownID(entries, selection))
        return id;
    if (auto id = shownID(entries, preferred))
        return id;
    const auto withUpdate = [&](const Catalog::Entry &entry) {
        return caseOf(states, entry.id) == Case::updateAvailable;
    };
    if (auto id = firstWhere(entries, withUpdate))
        return id;
    const auto installed = [&](const Catalog::Entry &entry) {
        const std::optional<Case> state = caseOf(states, entry.id);
        return state == Case::installed || state == Case::running;
    };
    if (auto id = firstWhere(entries, installed))
        return id;
    return firstWhere(entries, [](const Catalog::Entry &) { return true; });
}

QList<ClubhouseShelfGroup> shelfGroups(const QList<Catalog::Entry> &entries,
                                       const TitleStates &states,
                                       const std::optional<QString> &featuredID)
{
    using Kind = ClubhouseShelfGroup::Kind;
    QList<ClubhouseShelfGroup> groups;
    for (const Kind kind : {Kind::ready, Kind::preparing, Kind::available, Kind::attention}) {
        ClubhouseShelfGroup group{kind, {}};
        for (const Catalog::Entry &entry : entries) {
            const auto state = states.constFind(entry.id);
            const std::optional<TitleState> known =
                state == states.cend() ? std::nullopt : std::optional(*state);
            if (entry.id != featuredID && shelfKind(known) == kind)
                group.entries.append(entry);
        }
        if (!group.entries.isEmpty())
            groups.append(group);
    }
    return groups;
}

const QList<ClubhouseComingSoonGame> &ClubhouseComingSoonGame::announced()
{
    static const QList<ClubhouseComingSoonGame> games{
        {QStringLiteral("chequor"), QStringLiteral("Chequor"),
         QCoreApplication::translate("Vantry", "Chess, the Vantry way.")},
    };
    return games;
}

QString comingSoonCountLabel(qsizetype count)
{
    return count == 1 ? QCoreApplication::translate("Vantry", "1 game")
                      : QCoreApplication::translate("Vantry", "%1 games").arg(count);
}

EmptyShelfPanel emptyShelfPanel()
{
    return {QStringLiteral("sparkles.rectangle.stack.fill"),
            QCoreApplication::translate("Vantry", "No games on this shelf yet"),
            QCoreApplication::translate("Vantry", "Try another library filter.")};
}

} // namespace vantry
