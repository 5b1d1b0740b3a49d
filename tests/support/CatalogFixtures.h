#pragma once

#include <QByteArray>
#include <QString>

namespace vantry::test {

/// https://<catalog host><path>
QString onOrigin(const QString &path);

/// A complete, valid entry object (JSON text) for `id`.
QByteArray validEntryJson(const QString &id);

} // namespace vantry::test
