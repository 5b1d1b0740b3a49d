#pragma once

#include <catalog/Catalog.h>
#include <core/TitleState.h>
#include <ui/StatusPresentation.h>

#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace vantry {

namespace ContentView {
/// The segmented filter above the library shelves.
enum class LibraryFilter { all, installed, updates };
inline constexpr std::array<LibraryFilter, 3> allLibraryFilters{
    LibraryFilter::all, LibraryFilter::installed, LibraryFilter::updates};
[[nodiscard]] QString rawValue(LibraryFilter filter);
[[nodiscard]] QString label(LibraryFilter filter);
[[nodiscard]] QString helpText(LibraryFilter filter);
[[nodiscard]] std::optional<LibraryFilter> libraryFilterFromRaw(const QString &raw);
} // namespace ContentView

/// Each title's state, by title id.
using TitleStates = QHash<QString, TitleState>;

/// The released entries the filter shows, in catalog order; a title without a state shows only
/// under `all`.
[[nodiscard]] QList<Catalog::Entry> visibleEntries(const QList<Catalog::Entry> &catalogOrder,
                                                   const TitleStates &states,
                                                   ContentView::LibraryFilter filter);
/// The hero: the selection, else the preferred id, when shown; else the first title with an
/// update, else the first installed or running one, else the first one.
[[nodiscard]] std::optional<QString> featuredEntryID(const QList<Catalog::Entry> &entries,
                                                     const TitleStates &states,
                                                     const std::optional<QString> &selection,
                                                     const std::optional<QString> &preferred);
/// The status shelves below the hero, in Kind order, without the featured title and without
/// empty shelves.
[[nodiscard]] QList<ClubhouseShelfGroup> shelfGroups(const QList<Catalog::Entry> &entries,
                                                     const TitleStates &states,
                                                     const std::optional<QString> &featuredID);

/// A game announced but not released yet.
struct ClubhouseComingSoonGame {
    QString id;
    QString name;
    QString tagline;

    /// The games this launcher announces, built on first use.
    [[nodiscard]] static const QList<ClubhouseComingSoonGame> &announced();
};

/// "1 game", otherwise the count followed by " games".
[[nodiscard]] QString comingSoonCountLabel(qsizetype count);

/// What the shelves area shows when no status shelf remains.
struct EmptyShelfPanel {
    QString symbol;
    QString title;
    QString hint;
};

[[nodiscard]] EmptyShelfPanel emptyShelfPanel();

} // namespace vantry
