#pragma once

#include <core/Expected.h>

#include <QList>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace vantry {

class VerifiedCatalogData;

/// The verified list of games: which exist, where their feeds and icons live, and what each
/// game's bundle must look like. An immutable value.
struct Catalog {
    /// One game. Every field has been validated (see decode).
    struct Entry {
        QString id; // non-empty, only a-z, 0-9 and "-": keys everything per title
        QString name;
        QString tagline;
        QString description;
        QString bundleId;
        QUrl appcastURL; // allowed by the host allowlist
        QString minSystemVersion; // as written; parses as a system version
        QUrl iconURL;             // allowed by the host allowlist
        QString iconSHA256;       // 64 lower-case hexadecimal characters
        bool released = false;

        friend bool operator==(const Entry &, const Entry &) = default;
    };

    /// An entry that was left out, and why.
    struct SkippedEntry {
        std::optional<QString> id; // the "id" text when it was a string, even a malformed one
        QString reason;

        friend bool operator==(const SkippedEntry &, const SkippedEntry &) = default;
    };

    /// Why a whole document was refused.
    struct DecodeError {
        enum class Kind {
            unsupportedSchemaVersion,
            missingField,
            replay,
            notJSONObject,
            invalidJSON, // the JSON reader's own error: not JSON, or a bare scalar
        };

        Kind kind = Kind::invalidJSON;
        std::int64_t version = 0;       // unsupportedSchemaVersion
        QString field;                  // missingField
        std::int64_t found = 0;         // replay
        std::int64_t highWaterMark = 0; // replay
        QString readerMessage;          // invalidJSON: what the reader said, for diagnostics

        [[nodiscard]] static DecodeError unsupportedSchemaVersion(std::int64_t version);
        [[nodiscard]] static DecodeError missingField(QString field);
        [[nodiscard]] static DecodeError replay(std::int64_t found, std::int64_t highWaterMark);
        [[nodiscard]] static DecodeError notJSONObject();
        [[nodiscard]] static DecodeError invalidJSON(QString readerMessage);

        friend bool operator==(const DecodeError &, const DecodeError &) = default;
    };

    std::int64_t schemaVersion = 1;
    std::int64_t catalogVersion = 0;
    std::int64_t minimumLauncherBuild = 1;
    QList<Entry> games;
    QList<SkippedEntry> skippedEntries;

    friend bool operator==(const Catalog &, const Catalog &) = default;

    /// Turns verified bytes into a catalog, refusing the whole document when its header is wrong
    /// or its catalogVersion is below `highWaterMark`, and skipping single bad entries with a
    /// reason. A bad entry never spoils the good ones.
    [[nodiscard]] static Expected<Catalog, DecodeError> decode(const VerifiedCatalogData &data,
                                                               std::int64_t highWaterMark);
};

} // namespace vantry
