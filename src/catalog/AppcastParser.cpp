#include <catalog/AppcastParser.h>

#include <QByteArray>
#include <QList>
#include <QXmlStreamReader>

#include <array>
#include <charconv>
#include <string>

namespace vantry::AppcastParser {

namespace {

QStringView sparkle() { return QStringView(sparkleNamespace); }

// A base-10 integer: an optional sign, then ASCII digits only, within 64 bits. Nothing else, not
// even blanks: callers decide what to trim.
std::optional<std::int64_t> parseInteger(QStringView text)
{
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    std::string digits = negative ? "-" : "";
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        digits += static_cast<char>(c.unicode());
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::optional<int> parseDigits(QStringView text)
{
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// The position of `text` in `names`, counted from 1.
template <std::size_t N>
std::optional<int> nameIndex(QStringView text, const std::array<QStringView, N> &names)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i])
            return static_cast<int>(i) + 1;
    }
    return std::nullopt;
}

// The extension of the path's last segment. A path ending in "/" names no file, and a name that
// is nothing but an extension (".dmg") has none, so neither counts as a disk image.
bool hasDiskImageExtension(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    const QStringView name = QStringView(path).mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && name.mid(dot + 1).toString().toLower() == u"dmg";
}

std::optional<QString> attribute(const QXmlStreamAttributes &attributes, QStringView namespaceUri,
                                 QStringView name)
{
    for (const QXmlStreamAttribute &candidate : attributes) {
        if (candidate.namespaceUri() == namespaceUri && candidate.name() == name)
            return candidate.value().toString();
    }
    return std::nullopt;
}

// The streaming handler: what the reader reports, turned into accepted items.
struct Delegate {
    // The enclosure's three attributes, only ever taken together.
    struct Enclosure {
        QUrl url;
        QString urlText;
        QString lengthText;
        QString signature;
    };

    // The item being read.
    struct Draft {
        std::optional<QString> title;
        std::optional<QDateTime> pubDate;
        std::optional<QString> versionText;
        std::optional<QString> shortVersion;
        std::optional<QString> minimumSystem;
        std::optional<Enclosure> enclosure;
    };

    QList<AppcastItem> items;
    std::optional<Draft> draft;
    QString text; // character data since the last element start

    void elementStarted(QStringView name, QStringView namespaceUri,
                        const QXmlStreamAttributes &attributes)
    {
        text.clear();
        if (name == u"item" && namespaceUri.isEmpty()) {
            draft = Draft {};
            return;
        }
        if (name == u"enclosure" && draft) {
            if (auto enclosure = readEnclosure(attributes))
                draft->enclosure = std::move(enclosure);
        }
    }

    void characters(QStringView data) { text += data; }

    void elementEnded(QStringView name, QStringView namespaceUri)
    {
        const QString value = text.trimmed();
        if (draft && !value.isEmpty()) {
            if (namespaceUri == sparkle()) {
                if (name == u"version")
                    draft->versionText = value;
                else if (name == u"shortVersionString")
                    draft->shortVersion = value;
                else if (name == u"minimumSystemVersion")
                    draft->minimumSystem = value;
            } else {
                if (name == u"title")
                    draft->title = value;
                else if (name == u"pubDate")
                    // A later date that cannot be read takes the earlier one's place: absent.
                    draft->pubDate = rfc822Date(value);
            }
        }
        if (name == u"item" && draft) {
            if (auto item = validate(*draft))
                items.append(std::move(*item));
            draft.reset();
        }
        text.clear();
    }

    // Nothing, unless url, length and signature are all usable: a bad enclosure must not spoil a
    // good one read before it.
    static std::optional<Enclosure> readEnclosure(const QXmlStreamAttributes &attributes)
    {
        auto signature = attribute(attributes, sparkle(), u"edSignature");
        if (!signature)
            signature = attribute(attributes, {}, u"edSignature");
        const auto urlText = attribute(attributes, {}, u"url");
        const auto lengthText = attribute(attributes, {}, u"length");
        if (!urlText || urlText->isEmpty() || !lengthText || lengthText->isEmpty() || !signature
            || signature->isEmpty())
            return std::nullopt;
        QUrl url(*urlText, QUrl::StrictMode);
        if (!url.isValid())
            return std::nullopt;
        return Enclosure {std::move(url), *urlText, *lengthText, *signature};
    }

    static std::optional<AppcastItem> validate(const Draft &draft)
    {
        const auto version = draft.versionText ? parseInteger(*draft.versionText) : std::nullopt;
        if (!version || *version < 1)
            return std::nullopt;
        if (!draft.enclosure || !hasDiskImageExtension(draft.enclosure->url))
            return std::nullopt;
        // Not trimmed: an attribute with blanks around its digits is not a length.
        const auto length = parseInteger(draft.enclosure->lengthText);
        if (!length || *length < 1)
            return std::nullopt;
        // The signature is there: readEnclosure takes none without one.
        return AppcastItem {draft.title,
                            draft.pubDate,
                            *version,
                            draft.shortVersion,
                            draft.minimumSystem,
                            draft.enclosure->url,
                            draft.enclosure->urlText,
                            *length,
                            draft.enclosure->signature};
    }
};

} // namespace

QList<AppcastItem> validItems(QByteArrayView in)
{
    // The bytes outlive the reader, so it may read them in place.
    QXmlStreamReader reader(QByteArray::fromRawData(in.data(), in.size()));
    reader.setNamespaceProcessing(true);
    Delegate delegate;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement)
            delegate.elementStarted(reader.name(), reader.namespaceUri(), reader.attributes());
        else if (token == QXmlStreamReader::EndElement)
            delegate.elementEnded(reader.name(), reader.namespaceUri());
        else if (token == QXmlStreamReader::Characters && !reader.isCDATA())
            delegate.characters(reader.text());
    }
    // Items read before an error are not trusted either: the rest of the feed is unknown.
    if (reader.hasError())
        return {};
    return delegate.items;
}

std::optional<AppcastItem> newestItem(QByteArrayView in)
{
    const QList<AppcastItem> items = validItems(in);
    if (items.isEmpty())
        return std::nullopt;
    const AppcastItem *newest = &items.first();
    for (const AppcastItem &item : items) {
        if (item.version > newest->version)
            newest = &item;
    }
    return *newest;
}

std::optional<QDateTime> rfc822Date(QStringView text)
{
    static constexpr std::array<QStringView, 7> weekdays {u"Mon", u"Tue", u"Wed", u"Thu",
                                                          u"Fri", u"Sat", u"Sun"};
    static constexpr std::array<QStringView, 12> months {u"Jan", u"Feb", u"Mar", u"Apr",
                                                         u"May", u"Jun", u"Jul", u"Aug",
                                                         u"Sep", u"Oct", u"Nov", u"Dec"};

    // Fixed columns up to the zone: "Tue, 05 Mar 2024 10:00:00 " is 26 characters.
    constexpr qsizetype zoneStart = 26;
    if (text.size() != zoneStart + 3 && text.size() != zoneStart + 5)
        return std::nullopt;
    const auto at = [&](qsizetype position, char16_t expected) {
        return text[position] == QChar(expected);
    };
    if (!at(3, u',') || !at(4, u' ') || !at(7, u' ') || !at(11, u' ') || !at(16, u' ')
        || !at(19, u':') || !at(22, u':') || !at(25, u' '))
        return std::nullopt;

    const auto weekday = nameIndex(text.mid(0, 3), weekdays);
    const auto day = parseDigits(text.mid(5, 2));
    const auto month = nameIndex(text.mid(8, 3), months);
    const auto year = parseDigits(text.mid(12, 4));
    const auto hour = parseDigits(text.mid(17, 2));
    const auto minute = parseDigits(text.mid(20, 2));
    const auto second = parseDigits(text.mid(23, 2));
    if (!weekday || !day || !month || !year || !hour || !minute || !second)
        return std::nullopt;

    // QDate and QTime refuse 30 February, year 0, hour 24 and second 60.
    const QDate date(*year, *month, *day);
    const QTime time(*hour, *minute, *second);
    if (!date.isValid() || !time.isValid() || date.dayOfWeek() != *weekday)
        return std::nullopt;

    int offsetSeconds = 0;
    const QStringView zone = text.mid(zoneStart);
    if (zone != u"GMT") {
        if (zone.size() != 5 || (zone[0] != u'+' && zone[0] != u'-'))
            return std::nullopt;
        const auto zoneHours = parseDigits(zone.mid(1, 2));
        const auto zoneMinutes = parseDigits(zone.mid(3, 2));
        if (!zoneHours || !zoneMinutes || *zoneHours > 23 || *zoneMinutes > 59)
            return std::nullopt;
        offsetSeconds = (*zoneHours * 60 + *zoneMinutes) * 60 * (zone[0] == u'-' ? -1 : 1);
    }
    const QDateTime instant = QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
    // An offset can carry the first or last day of the years 1 to 9999 past them, where the ISO
    // 8601 text a date is shown and exchanged in no longer exists.
    if (instant.date().year() < 1 || instant.date().year() > 9999)
        return std::nullopt;
    return instant;
}

} // namespace vantry::AppcastParser
