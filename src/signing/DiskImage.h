#pragma once

#include <core/Expected.h>

#include <QString>

namespace vantry::DiskImage {

/// Makes the release image `output` (a SquashFS file under its ".dmg" name) whose top holds the
/// folder `source` under its own name, owned by root, its top of mode 0755, and without extended
/// attributes, so that nothing of the maker's machine travels with it. Blocks.
/// Fails with mksquashfs's own words.
[[nodiscard]] Expected<void, QString> create(const QString &source, const QString &output);

} // namespace vantry::DiskImage
