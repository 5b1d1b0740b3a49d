#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace vantry::demo {

/// The game's few files: its bundle's Info.plist and its best score, kept under its saved-data
/// folder `$XDG_DATA_HOME/<identifier>` where the launcher looks for a game's data.
namespace GameFiles {

/// The regular file at `path` when it holds at most `limit` bytes: its last link is not
/// followed and a FIFO or device is refused without being waited on.
[[nodiscard]] std::optional<QByteArray> readSmallFile(const QString &path, qsizetype limit);

/// The best score saved for `identifier`; 0 when there is none or it cannot be read.
[[nodiscard]] int loadBestScore(const QString &identifier);

/// Replaces the saved best score of `identifier` atomically, making the saved-data folder
/// (mode 0700) when needed. False when it could not be written.
[[nodiscard]] bool saveBestScore(const QString &identifier, int score);

} // namespace GameFiles

} // namespace vantry::demo
