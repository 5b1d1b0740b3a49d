#include <catalog/VersionCompare.h>

#include <QList>

#include <charconv>
#include <string>

namespace vantry {

QString SystemVersion::toString() const
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

namespace VersionCompare {

namespace {

std::optional<std::int64_t> parsePart(QStringView part)
{
    if (part.isEmpty())
        return std::nullopt;
    const std::string text = part.toString().toStdString();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < 0)
        return std::nullopt;
    // Only the canonical spelling counts: no leading zeros, no "-0".
    if (std::to_string(value) != text)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<SystemVersion> parseSystemVersion(QStringView text)
{
    const auto parts = text.split(u'.');
    if (parts.size() < 1 || parts.size() > 3)
        return std::nullopt;
    std::int64_t values[3] = {0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const auto value = parsePart(parts[i]);
        if (!value)
            return std::nullopt;
        values[i] = *value;
    }
    return SystemVersion{values[0], values[1], values[2]};
}

std::strong_ordering compare(const SystemVersion &a, const SystemVersion &b)
{
    if (a.major != b.major)
        return a.major <=> b.major;
    if (a.minor != b.minor)
        return a.minor <=> b.minor;
    return a.patch <=> b.patch;
}

} // namespace VersionCompare
} // namespace vantry
