#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace vantry::test {

/// What a catalog document must decode to. Shared by the launcher's decoding tests and the
/// maker's tool tests, so both are held to the same outcomes.
struct CatalogCase {
    struct Skip {
        std::optional<QString> id;
        QString reason;
    };

    QString name;
    QByteArray document;
    std::int64_t highWaterMark = 0;

    // Refused: the error's name and its payload.
    std::optional<QString> error;
    QString field;
    std::int64_t version = 0;
    std::int64_t found = 0;
    std::int64_t mark = 0;

    // Accepted.
    std::int64_t catalogVersion = 0;
    std::int64_t minimumLauncherBuild = 1;
    QStringList gameIds;
    QStringList announcedIds; // accepted games whose released flag is false
    QList<Skip> skipped;
};

/// https://<catalog host><path>
QString onOrigin(const QString &path);

/// A complete, valid entry object (JSON text) for `id`.
QByteArray validEntryJson(const QString &id);

QList<CatalogCase> catalogCases();

} // namespace vantry::test
