#include <catalog/Catalog.h>

#include <catalog/Ed25519Verifier.h>
#include <catalog/HostAllowlist.h>
#include <catalog/VersionCompare.h>

#include <nlohmann/json.hpp>

#include <limits>
#include <set>
#include <variant>

namespace vantry {

using Json = nlohmann::json;

Catalog::DecodeError Catalog::DecodeError::unsupportedSchemaVersion(std::int64_t version)
{
    DecodeError error;
    error.kind = Kind::unsupportedSchemaVersion;
    error.version = version;
    return error;
}

Catalog::DecodeError Catalog::DecodeError::missingField(QString field)
{
    DecodeError error;
    error.kind = Kind::missingField;
    error.field = std::move(field);
    return error;
}

Catalog::DecodeError Catalog::DecodeError::replay(std::int64_t found, std::int64_t highWaterMark)
{
    DecodeError error;
    error.kind = Kind::replay;
    error.found = found;
    error.highWaterMark = highWaterMark;
    return error;
}

Catalog::DecodeError Catalog::DecodeError::notJSONObject()
{
    DecodeError error;
    error.kind = Kind::notJSONObject;
    return error;
}

Catalog::DecodeError Catalog::DecodeError::invalidJSON(QString readerMessage)
{
    DecodeError error;
    error.kind = Kind::invalidJSON;
    error.readerMessage = std::move(readerMessage);
    return error;
}

namespace {

// "An integer" is a JSON integer that fits 64 signed bits: 1.0, 1e2, true and "1" are not.
std::optional<std::int64_t> integerValue(const Json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer())
        return std::nullopt;
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    return found->get<std::int64_t>();
}

const std::string *stringValue(const Json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return nullptr;
    return found->get_ptr<const std::string *>();
}

QString text(const std::string &utf8) { return QString::fromStdString(utf8); }

bool isWellFormedId(const std::string &id)
{
    if (id.empty())
        return false;
    for (const char c : id) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

bool isLowerHexDigest(const std::string &digest)
{
    if (digest.size() != 64)
        return false;
    for (const char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::optional<QUrl> allowedUrlValue(const Json &object, const char *key)
{
    const std::string *value = stringValue(object, key);
    if (!value)
        return std::nullopt;
    return HostAllowlist::allowedUrl(text(*value));
}

// Checks the keys in a fixed order; the first that fails names the reason.
std::variant<Catalog::Entry, Catalog::SkippedEntry> validateEntry(const Json &object)
{
    const std::string *id = stringValue(object, "id");
    auto skip = [&](const char *reason) {
        return Catalog::SkippedEntry{id ? std::optional<QString>(text(*id)) : std::nullopt,
                                     QString::fromUtf8(reason)};
    };
    if (!id || !isWellFormedId(*id))
        return skip("missing or malformed id");

    Catalog::Entry entry;
    entry.id = text(*id);
    const std::pair<const char *, QString *> requiredTexts[] = {
        {"name", &entry.name},
        {"tagline", &entry.tagline},
        {"description", &entry.description},
        {"bundleId", &entry.bundleId},
    };
    for (const auto &[key, field] : requiredTexts) {
        const std::string *value = stringValue(object, key);
        if (!value || value->empty())
            return skip((std::string("missing ") + key).c_str());
        *field = text(*value);
    }

    const auto appcastURL = allowedUrlValue(object, "appcastURL");
    if (!appcastURL)
        return skip("appcastURL missing, malformed, or off-origin");
    entry.appcastURL = *appcastURL;

    const auto iconURL = allowedUrlValue(object, "iconURL");
    if (!iconURL)
        return skip("iconURL missing, malformed, or off-origin");
    entry.iconURL = *iconURL;

    const std::string *digest = stringValue(object, "iconSHA256");
    if (!digest || !isLowerHexDigest(*digest))
        return skip("iconSHA256 is not 64 lowercase hex characters");
    entry.iconSHA256 = text(*digest);

    const std::string *minSystemVersion = stringValue(object, "minSystemVersion");
    if (!minSystemVersion || !VersionCompare::parseSystemVersion(text(*minSystemVersion)))
        return skip("missing or malformed minSystemVersion");
    entry.minSystemVersion = text(*minSystemVersion);

    const auto released = object.find("released");
    if (released == object.end() || !released->is_boolean())
        return skip("missing released flag");
    entry.released = released->get<bool>();

    return entry;
}

} // namespace

Expected<Catalog, Catalog::DecodeError> Catalog::decode(const VerifiedCatalogData &data, std::int64_t highWaterMark)
{
    const QByteArray &bytes = data.bytes();
    Json document;
    try {
        document = Json::parse(bytes.cbegin(), bytes.cend());
    } catch (const Json::exception &error) {
        return unexpected(DecodeError::invalidJSON(QString::fromUtf8(error.what())));
    }
    // The reader takes only an object or an array at the top; a bare value is its error.
    if (!document.is_object() && !document.is_array())
        return unexpected(DecodeError::invalidJSON(QStringLiteral("the top level is neither an object nor an array")));
    if (!document.is_object())
        return unexpected(DecodeError::notJSONObject());

    const auto schemaVersion = integerValue(document, "schemaVersion");
    if (!schemaVersion)
        return unexpected(DecodeError::missingField(QStringLiteral("schemaVersion")));
    if (*schemaVersion != 1)
        return unexpected(DecodeError::unsupportedSchemaVersion(*schemaVersion));

    const auto catalogVersion = integerValue(document, "catalogVersion");
    if (!catalogVersion || *catalogVersion < 1)
        return unexpected(DecodeError::missingField(QStringLiteral("catalogVersion")));
    if (*catalogVersion < highWaterMark)
        return unexpected(DecodeError::replay(*catalogVersion, highWaterMark));

    Catalog catalog;
    catalog.schemaVersion = 1;
    catalog.catalogVersion = *catalogVersion;
    catalog.minimumLauncherBuild = integerValue(document, "minimumLauncherBuild").value_or(1);

    const auto games = document.find("games");
    if (games == document.end() || !games->is_array())
        return unexpected(DecodeError::missingField(QStringLiteral("games")));

    std::set<QString> seen;
    for (const Json &element : *games) {
        if (!element.is_object()) {
            catalog.skippedEntries.append({std::nullopt, QStringLiteral("entry is not a JSON object")});
            continue;
        }
        auto validated = validateEntry(element);
        if (auto *skipped = std::get_if<SkippedEntry>(&validated)) {
            catalog.skippedEntries.append(std::move(*skipped));
            continue;
        }
        auto &entry = std::get<Entry>(validated);
        if (!seen.insert(entry.id).second) {
            catalog.skippedEntries.append({entry.id, QStringLiteral("duplicate id")});
            continue;
        }
        catalog.games.append(std::move(entry));
    }
    return catalog;
}

} // namespace vantry
