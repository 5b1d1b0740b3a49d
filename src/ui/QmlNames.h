#pragma once

#include <ui/StatusPresentation.h>
#include <ui/Theme.h>

#include <catalog/Catalog.h>
#include <core/TitleState.h>

#include <QString>
#include <QVariantList>

#include <optional>

namespace vantry::QmlNames {

// The names QML sees for the presentation's enumerations: stable words, never shown to the user.

[[nodiscard]] QString name(Theme::BadgeKind kind);
[[nodiscard]] QString name(ClubhouseStatePresentation::Tone tone);
[[nodiscard]] QString name(GameCardView::CardAction action);
[[nodiscard]] std::optional<GameCardView::CardAction> cardAction(const QString &name);

/// The card actions `state` allows, as QML reads them: [{action, title}].
[[nodiscard]] QVariantList actionList(const TitleState &state);
/// The image provider's address of the title's verified icon; empty while it has none.
[[nodiscard]] QString iconSource(const Catalog::Entry &entry, bool hasIcon);

} // namespace vantry::QmlNames
