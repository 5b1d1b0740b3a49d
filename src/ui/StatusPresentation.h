#pragma once

#include <catalog/Catalog.h>
#include <core/TitleState.h>
#include <ui/Theme.h>

#include <QColor>
#include <QList>
#include <QString>

#include <optional>

namespace vantry {

namespace GameCardView {
/// The buttons of a game card, in the order they are laid out.
enum class CardAction { install, cancel, retry, play };
} // namespace GameCardView

/// The corner badge of a game card.
struct CardBadge {
    Theme::BadgeKind kind;
    QString label;

    friend bool operator==(const CardBadge &, const CardBadge &) = default;
};

/// The badge a card shows for `state`; none while a job is under way.
[[nodiscard]] std::optional<CardBadge> cardBadge(const TitleState &state);
/// The title of an action's button: "Update" rather than "Get" when a newer version waits.
[[nodiscard]] QString actionTitle(GameCardView::CardAction action, const TitleState &state);
/// The buttons a card offers, in CardAction order: each only where the library model or the
/// install engine accepts it in `state`.
[[nodiscard]] QList<GameCardView::CardAction> cardActions(const TitleState &state);

/// A status pill on the shelves: its text, its symbol (a macOS symbol name, see symbolIconName)
/// and the tone that picks its colours.
struct ClubhouseStatePresentation {
    enum class Tone { accent, neutral, celebration, alert };
    QString text;
    QString symbol;
    Tone tone = Tone::neutral;

    friend bool operator==(const ClubhouseStatePresentation &,
                           const ClubhouseStatePresentation &) = default;
};

[[nodiscard]] ClubhouseStatePresentation statePresentation(const TitleState &state);
/// Pill text and symbol colour: in `modern` the ink that reads on the pill's fill, elsewhere the
/// theme's selected-segment text; neutral pills use the primary text everywhere.
[[nodiscard]] QColor pillInk(ClubhouseStatePresentation::Tone tone, const Theme &theme,
                             const Appearance &appearance);
/// Pill fill: accent, segment track, celebration or alert colour by tone.
[[nodiscard]] QColor pillFill(ClubhouseStatePresentation::Tone tone, const Theme &theme,
                              const Appearance &appearance);

/// The one-line note under a title on the shelves.
struct StateNote {
    QString text;
    QString symbol;
    bool alert = false;

    friend bool operator==(const StateNote &, const StateNote &) = default;
};

[[nodiscard]] std::optional<StateNote> stateNote(const TitleState &state);

/// One library shelf: the titles of one kind of status, in catalog order.
struct ClubhouseShelfGroup {
    enum class Kind { ready, preparing, available, attention };
    Kind kind;
    QList<Catalog::Entry> entries;
};

[[nodiscard]] QString rawValue(ClubhouseShelfGroup::Kind kind);
[[nodiscard]] QString shelfTitle(ClubhouseShelfGroup::Kind kind);
/// The shelf a title sits on; a title the library has no state for needs attention.
[[nodiscard]] ClubhouseShelfGroup::Kind shelfKind(const std::optional<TitleState> &state);

/// The freedesktop icon-theme name drawn for a symbol given by its macOS name; "image-missing"
/// for a symbol this launcher does not use.
[[nodiscard]] QString symbolIconName(const QString &symbol);

} // namespace vantry
