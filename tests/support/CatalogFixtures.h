#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace vantry::test {

/// A catalog document and what it must decode to against a high-water mark. Shared by the
/// launcher's decoding tests and the maker's tool tests, so both are held to the same outcomes.
///
/// The outcome is written as text. A refusal: "invalidJSON", "notJSONObject", "missingField
/// <field>", "unsupportedSchemaVersion <version>" or "replay <found> below <mark>". A catalog:
/// "version <catalogVersion>, build <minimumLauncherBuild>: <id>, <id> (announced)", followed
/// by "; skipped: <id or -> (<reason>), ..." when entries were skipped.
struct CatalogCase {
    QString name;
    QByteArray document;
    std::int64_t highWaterMark = 0;
    QString expected;
};

/// https://<catalog host><path>
QString onOrigin(const QString &path);

/// A complete, valid entry object (JSON text) for `id`.
QByteArray validEntryJson(const QString &id);

QList<CatalogCase> catalogCases();

/// The outcome text of a refusal, from the error's name and its payload.
QString refusal(const QString &error, const QString &field, std::int64_t version, std::int64_t found, std::int64_t mark);

/// The outcome text of a catalog: `games` as "<id>" or "<id> (announced)", `skipped` as
/// "<id or -> (<reason>)".
QString acceptance(std::int64_t catalogVersion, std::int64_t minimumLauncherBuild, const QStringList &games,
                   const QStringList &skipped);

} // namespace vantry::test
