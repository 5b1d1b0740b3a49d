#pragma once

#include <ui/StatusPresentation.h>
#include <ui/Theme.h>

#include <QString>

#include <optional>

namespace vantry::QmlNames {

// The names QML sees for the presentation's enumerations: stable words, never shown to the user.

[[nodiscard]] QString name(Theme::BadgeKind kind);
[[nodiscard]] QString name(ClubhouseStatePresentation::Tone tone);
[[nodiscard]] QString name(GameCardView::CardAction action);
[[nodiscard]] std::optional<GameCardView::CardAction> cardAction(const QString &name);

} // namespace vantry::QmlNames
