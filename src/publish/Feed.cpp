#include <publish/Feed.h>

#include <catalog/AppcastParser.h>

#include <QLocale>
#include <QXmlStreamReader>

namespace vantry::Publish::Feed {

namespace {

QString sparkleUri()
{
    return QString::fromUtf16(AppcastParser::sparkleNamespace);
}

// Where the new item goes, and what the feed already holds.
struct Layout {
    qsizetype insertAt = -1; // a character offset in the decoded text: the first item's tag, or the
                             // channel's end tag
    bool sparklePrefixBound = false; // whether "sparkle:" already names the Sparkle namespace there
    std::optional<std::int64_t> highestBuild;
};

// The reader reports where a tag ends; XML allows no "<" inside a tag, so the last one before
// that is where it starts.
qsizetype tagStart(const QString &text, qint64 tagEnd)
{
    return text.lastIndexOf(u'<', qsizetype(tagEnd) - 1);
}

Expected<Layout, QString> layout(const QString &text)
{
    QXmlStreamReader reader(text);
    reader.setNamespaceProcessing(true);
    Layout found;
    int depth = 0;
    int itemDepth = 0; // of the item being read, wherever the launcher's reader would take it
    bool inChannel = false, inVersion = false, channelSeen = false;
    QString version;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument:
            if (!reader.documentEncoding().isEmpty() &&
                reader.documentEncoding().compare(u"utf-8", Qt::CaseInsensitive) != 0)
                return unexpected(QStringLiteral("the feed is not written in UTF-8"));
            break;
        case QXmlStreamReader::DTD:
            // Entities a DTD declares would move the text away from the offsets the reader gives.
            return unexpected(QStringLiteral("the feed has a document type declaration"));
        case QXmlStreamReader::StartElement:
            ++depth;
            if (depth == 1 && reader.name() != u"rss")
                return unexpected(QStringLiteral("the feed is not an rss document"));
            if (depth == 2 && reader.name() == u"channel" && reader.namespaceUri().isEmpty() &&
                !channelSeen)
                inChannel = channelSeen = true;
            // What "sparkle:" means inside the channel: the channel's own binding, else the rss's.
            if (depth == 1 || (depth == 2 && inChannel)) {
                for (const auto &declaration : reader.namespaceDeclarations()) {
                    if (declaration.prefix() == u"sparkle")
                        found.sparklePrefixBound = declaration.namespaceUri() == sparkleUri();
                }
            }
            if (reader.name() == u"item" && reader.namespaceUri().isEmpty()) {
                itemDepth = depth;
                if (inChannel && depth == 3 && found.insertAt < 0)
                    found.insertAt = tagStart(text, reader.characterOffset());
            }
            inVersion = itemDepth > 0 && reader.name() == u"version" &&
                        reader.namespaceUri() == sparkleUri();
            version.clear();
            break;
        case QXmlStreamReader::Characters:
            version += reader.text();
            break;
        case QXmlStreamReader::EndElement:
            if (inVersion) {
                bool ok = false;
                const qlonglong build = version.trimmed().toLongLong(&ok);
                if (ok)
                    found.highestBuild =
                        std::max(found.highestBuild.value_or(build), std::int64_t(build));
                inVersion = false;
            }
            if (depth == itemDepth)
                itemDepth = 0;
            if (inChannel && depth == 2) {
                if (found.insertAt < 0)
                    found.insertAt = tagStart(text, reader.characterOffset());
                inChannel = false;
            }
            --depth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return unexpected(
            QStringLiteral("the feed is not well-formed XML: %1").arg(reader.errorString()));
    if (!channelSeen || found.insertAt < 0)
        return unexpected(QStringLiteral("the feed has no rss channel"));
    return found;
}

// The indentation of the line up to `position`, when only blanks precede it there.
QString indentationAt(const QString &text, qsizetype position)
{
    const qsizetype lineStart = text.lastIndexOf(u'\n', position - 1) + 1;
    const QString before = text.mid(lineStart, position - lineStart);
    return before.trimmed().isEmpty() ? before : QString();
}

QString itemXml(const Item &item, const QString &indent, bool declareSparkle)
{
    const QString inner = indent + QStringLiteral("  ");
    QString xml =
        QStringLiteral("<item%1>\n")
            .arg(declareSparkle ? QStringLiteral(" xmlns:sparkle=\"%1\"").arg(sparkleUri())
                                : QString());
    const auto element = [&](const QString &name, const QString &value) {
        xml += inner + QStringLiteral("<%1>%2</%1>\n").arg(name, value.toHtmlEscaped());
    };
    element(QStringLiteral("title"), item.title);
    element(QStringLiteral("pubDate"), rfc822(item.pubDate));
    element(QStringLiteral("sparkle:version"), QString::number(item.version));
    element(QStringLiteral("sparkle:shortVersionString"), item.shortVersion);
    if (item.minimumSystemVersion)
        element(QStringLiteral("sparkle:minimumSystemVersion"), *item.minimumSystemVersion);
    if (item.notes)
        element(QStringLiteral("description"), *item.notes);
    xml +=
        inner + QStringLiteral("<enclosure url=\"%1\" length=\"%2\" "
                               "type=\"application/octet-stream\" sparkle:edSignature=\"%3\"/>\n")
                    .arg(item.url.toHtmlEscaped())
                    .arg(item.length)
                    .arg(item.edSignature.toHtmlEscaped());
    return xml + indent + QStringLiteral("</item>");
}

} // namespace

QString rfc822(const QDateTime &instant)
{
    return QLocale::c().toString(instant.toUTC(), u"ddd, dd MMM yyyy HH:mm:ss") +
           QStringLiteral(" +0000");
}

QByteArray empty(const QString &title)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                          "<rss version=\"2.0\" xmlns:sparkle=\"%1\">\n"
                          "  <channel>\n"
                          "    <title>%2</title>\n"
                          "  </channel>\n"
                          "</rss>\n")
        .arg(sparkleUri(), title.toHtmlEscaped())
        .toUtf8();
}

Expected<QByteArray, QString> withItem(QByteArrayView feed, const Item &item)
{
    // A byte-order mark is dropped; everything else must survive the round trip unchanged.
    const QByteArrayView body = feed.startsWith("\xef\xbb\xbf") ? feed.sliced(3) : feed;
    const QString text = QString::fromUtf8(body);
    if (text.toUtf8() != body)
        return unexpected(QStringLiteral("the feed is not valid UTF-8"));
    const auto found = layout(text);
    if (!found)
        return unexpected(found.error());
    if (found->highestBuild && *found->highestBuild >= item.version)
        return unexpected(
            QStringLiteral(
                "the feed already has build %1: a new release needs a higher CFBundleVersion than "
                "that, not %2")
                .arg(*found->highestBuild)
                .arg(item.version));
    // Before the first item, in its indentation; or before the channel's end, one level in.
    const bool beforeItem = text.mid(found->insertAt, 5) == u"<item";
    const QString indent = indentationAt(text, found->insertAt);
    const QString itemIndent =
        beforeItem || indent.isEmpty() ? indent : indent + QStringLiteral("  ");
    const QString inserted = (beforeItem || indent.isEmpty() ? QString() : QStringLiteral("  ")) +
                             itemXml(item, itemIndent, !found->sparklePrefixBound) + u'\n' + indent;
    return (text.left(found->insertAt) + inserted + text.mid(found->insertAt)).toUtf8();
}

} // namespace vantry::Publish::Feed
