#include <support/CatalogFixtures.h>

#include <vantry/BuildConfig.h>

#include <nlohmann/json.hpp>

namespace vantry::test {

namespace {

using Json = nlohmann::ordered_json;

const std::string host = BuildConfig::catalogHost;

Json validEntry(const std::string &id)
{
    return Json{
        {"id", id},
        {"name", "Game " + id},
        {"tagline", "A tagline"},
        {"description", "A longer description."},
        {"bundleId", "com.example." + id},
        {"appcastURL", "https://" + host + "/updates/" + id + ".xml"},
        {"minSystemVersion", "2.31"},
        {"iconURL", "https://" + host + "/icons/" + id + ".png"},
        {"iconSHA256", std::string(64, 'a')},
        {"released", true},
        {"somethingNew", {1, 2, 3}}, // unknown keys are ignored
    };
}

} // namespace

QString onOrigin(const QString &path) { return u"https://"_qs + QString::fromStdString(host) + path; }

QByteArray validEntryJson(const QString &id) { return QByteArray::fromStdString(validEntry(id.toStdString()).dump()); }

} // namespace vantry::test
