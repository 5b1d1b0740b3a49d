#include <publish/Arguments.h>
#include <publish/CatalogWords.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>

#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <platform/FileSystem.h>
#include <vantry/BuildConfig.h>

#include <nlohmann/json.hpp>

#include <variant>

namespace vantry::Publish {

namespace {

using Json = nlohmann::ordered_json;
using VerificationError = Ed25519Verifier::VerificationError;
using Outcome = std::variant<Catalog, Catalog::DecodeError, VerificationError>;

std::string utf8(const QString &text) { return text.toStdString(); }

const char *errorName(VerificationError error)
{
    switch (error) {
    case VerificationError::malformedPublicKey:
        return "malformedPublicKey";
    case VerificationError::malformedSignature:
        return "malformedSignature";
    case VerificationError::signatureMismatch:
        return "signatureMismatch";
    }
    Q_UNREACHABLE();
}

const char *errorName(Catalog::DecodeError::Kind kind)
{
    switch (kind) {
    case Catalog::DecodeError::Kind::unsupportedSchemaVersion:
        return "unsupportedSchemaVersion";
    case Catalog::DecodeError::Kind::missingField:
        return "missingField";
    case Catalog::DecodeError::Kind::replay:
        return "replay";
    case Catalog::DecodeError::Kind::notJSONObject:
        return "notJSONObject";
    case Catalog::DecodeError::Kind::invalidJSON:
        return "invalidJSON";
    }
    Q_UNREACHABLE();
}

Json entryJson(const Catalog::Entry &entry)
{
    return Json{
        {"id", utf8(entry.id)},
        {"name", utf8(entry.name)},
        {"tagline", utf8(entry.tagline)},
        {"description", utf8(entry.description)},
        {"bundleId", utf8(entry.bundleId)},
        {"appcastURL", utf8(entry.appcastURL.toString(QUrl::FullyEncoded))},
        {"iconURL", utf8(entry.iconURL.toString(QUrl::FullyEncoded))},
        {"iconSHA256", utf8(entry.iconSHA256)},
        {"minSystemVersion", utf8(entry.minSystemVersion)},
        {"released", entry.released},
    };
}

Json outcomeJson(const Outcome &outcome)
{
    if (const auto *catalog = std::get_if<Catalog>(&outcome)) {
        Json games = Json::array();
        for (const auto &entry : catalog->games)
            games.push_back(entryJson(entry));
        Json skipped = Json::array();
        for (const auto &entry : catalog->skippedEntries)
            skipped.push_back(Json{{"id", entry.id ? Json(utf8(*entry.id)) : Json(nullptr)},
                                   {"reason", utf8(entry.reason)}});
        return Json{{"accepted", true},
                    {"schemaVersion", catalog->schemaVersion},
                    {"catalogVersion", catalog->catalogVersion},
                    {"minimumLauncherBuild", catalog->minimumLauncherBuild},
                    {"games", games},
                    {"skippedEntries", skipped}};
    }
    if (const auto *error = std::get_if<VerificationError>(&outcome))
        return Json{{"accepted", false}, {"error", errorName(*error)}};

    const auto &error = std::get<Catalog::DecodeError>(outcome);
    Json result{{"accepted", false}, {"error", errorName(error.kind)}};
    switch (error.kind) {
    case Catalog::DecodeError::Kind::unsupportedSchemaVersion:
        result["version"] = error.version;
        break;
    case Catalog::DecodeError::Kind::missingField:
        result["field"] = utf8(error.field);
        break;
    case Catalog::DecodeError::Kind::replay:
        result["found"] = error.found;
        result["highWaterMark"] = error.highWaterMark;
        break;
    case Catalog::DecodeError::Kind::invalidJSON:
        result["message"] = utf8(error.readerMessage);
        break;
    case Catalog::DecodeError::Kind::notJSONObject:
        break;
    }
    return result;
}

void writeTextReport(const Outcome &outcome, const QString &signatureNote, QTextStream &out)
{
    if (const auto *error = std::get_if<VerificationError>(&outcome)) {
        out << "Catalog refused: " << describe(*error) << '\n';
        return;
    }
    if (const auto *error = std::get_if<Catalog::DecodeError>(&outcome)) {
        out << "Catalog refused: " << describe(*error) << '\n';
        return;
    }
    const auto &catalog = std::get<Catalog>(outcome);
    out << "Catalog accepted\n"
        << "  signature:              " << signatureNote << '\n'
        << "  schema version:         " << catalog.schemaVersion << '\n'
        << "  catalog version:        " << catalog.catalogVersion << '\n'
        << "  minimum launcher build: " << catalog.minimumLauncherBuild << '\n'
        << '\n'
        << "Games (" << catalog.games.size() << "):\n";
    for (const auto &entry : catalog.games) {
        out << "  " << entry.id << " \u2014 " << entry.name << (entry.released ? "" : " (announced)") << '\n'
            << "      tagline:            " << entry.tagline << '\n'
            << "      bundle id:          " << entry.bundleId << '\n'
            << "      appcast:            " << entry.appcastURL.toString(QUrl::FullyEncoded) << '\n'
            << "      icon:               " << entry.iconURL.toString(QUrl::FullyEncoded) << '\n'
            << "      icon SHA-256:       " << entry.iconSHA256 << '\n'
            << "      minimum system:     " << entry.minSystemVersion << '\n';
    }
    out << '\n' << "Skipped entries (" << catalog.skippedEntries.size() << "):\n";
    for (const auto &entry : catalog.skippedEntries)
        out << "  " << (entry.id ? QStringLiteral("\"%1\"").arg(*entry.id) : QStringLiteral("(no id)")) << ": "
            << entry.reason << '\n';
}

} // namespace

int checkCatalog(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(
        arguments, {QStringLiteral("--signature"), QStringLiteral("--key"), QStringLiteral("--high-water")},
        {QStringLiteral("--json")}, error);
    if (!parsed || parsed->positional.size() != 1) {
        err << "vantry-publish check-catalog: "
            << (error.isEmpty() ? QStringLiteral("usage: check-catalog CATALOG [--signature SIG] [--key BASE64] "
                                                 "[--high-water N] [--json]")
                                : error)
            << '\n';
        return usageError;
    }

    std::int64_t highWaterMark = 0;
    if (const auto text = parsed->value(QStringLiteral("--high-water"))) {
        bool ok = false;
        highWaterMark = text->toLongLong(&ok);
        if (!ok) {
            err << "vantry-publish check-catalog: --high-water takes an integer, not '" << *text << "'\n";
            return usageError;
        }
    }

    const auto bytes = FileSystem::readFile(parsed->positional.first());
    if (!bytes) {
        err << "vantry-publish check-catalog: " << bytes.error().describe() << '\n';
        return usageError;
    }

    const QString key = parsed->value(QStringLiteral("--key")).value_or(QString::fromLatin1(BuildConfig::releasePublicKey));
    Expected<VerifiedCatalogData, VerificationError> verified = unexpected(VerificationError::signatureMismatch);
    QString signatureNote;
    if (const auto signaturePath = parsed->value(QStringLiteral("--signature"))) {
        const auto signature = FileSystem::readFile(*signaturePath);
        if (!signature) {
            err << "vantry-publish check-catalog: " << signature.error().describe() << '\n';
            return usageError;
        }
        verified = Ed25519Verifier::verify(*bytes, QString::fromUtf8(*signature), key);
        signatureNote = QStringLiteral("verified with %1").arg(key);
    } else {
        verified = verifyDraft(*bytes);
        signatureNote = QStringLiteral("not checked (no --signature given)");
    }

    Outcome outcome = VerificationError::signatureMismatch;
    if (!verified) {
        outcome = verified.error();
    } else if (auto decoded = Catalog::decode(*verified, highWaterMark)) {
        outcome = std::move(*decoded);
    } else {
        outcome = decoded.error();
    }

    if (parsed->flags.contains(QStringLiteral("--json")))
        out << QString::fromStdString(outcomeJson(outcome).dump(2, ' ', false, Json::error_handler_t::replace)) << '\n';
    else
        writeTextReport(outcome, signatureNote, out);
    return std::holds_alternative<Catalog>(outcome) ? success : refused;
}

} // namespace vantry::Publish
