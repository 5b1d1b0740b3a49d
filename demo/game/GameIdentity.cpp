#include "GameIdentity.h"

#include "GameFiles.h"

#include <QHash>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace vantry::demo {

namespace {

constexpr qsizetype infoPlistLimit = 256 * 1024;

// The text values at the top of an XML property list's dictionary, by key; nothing when the
// document is not such a list.
std::optional<QHash<QString, QString>> plistTexts(const QByteArray &bytes)
{
    QXmlStreamReader xml(bytes);
    if (!xml.readNextStartElement() || xml.name() != u"plist" || !xml.readNextStartElement() ||
        xml.name() != u"dict")
        return std::nullopt;
    QHash<QString, QString> texts;
    QString key;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"key") {
            key = xml.readElementText();
        } else if (xml.name() == u"string") {
            texts.insert(key, xml.readElementText());
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        return std::nullopt;
    return texts;
}

// The identifier names the game's saved-data folder, so it must be one plain folder name.
bool usableIdentifier(const QString &identifier)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9.-]{0,200}$"));
    return pattern.match(identifier).hasMatch();
}

} // namespace

std::optional<QColor> parseColour(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral("^#[0-9A-Fa-f]{6}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return QColor::fromString(text);
}

GameIdentity GameIdentity::forExecutable(const QString &executablePath)
{
    const QStringList parts = executablePath.split(u'/');
    const qsizetype count = parts.size();
    if (count < 4 || parts[count - 2] != u"MacOS" || parts[count - 3] != u"Contents")
        return {};
    const QString contents = parts.mid(0, count - 2).join(u'/');
    const auto bytes =
        GameFiles::readSmallFile(contents + QStringLiteral("/Info.plist"), infoPlistLimit);
    const auto texts = bytes ? plistTexts(*bytes) : std::nullopt;
    if (!texts || !usableIdentifier(texts->value(QStringLiteral("CFBundleIdentifier")))) {
        qWarning("vantry-demo-game: %s/Info.plist names no usable identifier; playing as the "
                 "fallback game",
                 qUtf8Printable(contents));
        return {};
    }
    GameIdentity identity;
    identity.identifier = texts->value(QStringLiteral("CFBundleIdentifier"));
    const QString name = texts->value(QStringLiteral("CFBundleName"));
    identity.name = name.isEmpty() ? identity.identifier : name;
    identity.shortVersion = texts->value(QStringLiteral("CFBundleShortVersionString"));
    identity.colour =
        parseColour(texts->value(QStringLiteral("VantryDemoColour"))).value_or(identity.colour);
    return identity;
}

QString GameIdentity::title() const
{
    return shortVersion.isEmpty() ? name : name + u' ' + shortVersion;
}

} // namespace vantry::demo
