#pragma once

#include <core/TitleState.h>

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace vantry {

/// The sounds the window makes.
enum class InterfaceSound { click, installFinished, failure };

/// Which sound a title's change of case makes, if any: installing to installed finishes an
/// install; any other case to failed is a failure.
[[nodiscard]] std::optional<InterfaceSound> soundForChange(TitleState::Case before,
                                                           TitleState::Case after);

/// The sounds of one change of the library's states, title by title in `after`'s order: a title
/// missing from `before` makes none.
[[nodiscard]] QList<InterfaceSound> soundsForStates(const QHash<QString, TitleState> &before,
                                                    const QHash<QString, TitleState> &after);

} // namespace vantry
