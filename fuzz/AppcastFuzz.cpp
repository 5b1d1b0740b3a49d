// Feeds arbitrary bytes to the appcast reader. Beyond not crashing, an item it returns must keep
// the promises the install planner and the verification chain rely on.
#include <catalog/AppcastParser.h>

#include <cstdlib>

using namespace vantry;

namespace {

bool hasDiskImageName(const QUrl &url)
{
    const QString name = url.path(QUrl::FullyDecoded).section(u'/', -1);
    return name.size() > 4 && name.right(4).toLower() == u".dmg";
}

bool isTrimmedText(const std::optional<QString> &text)
{
    return !text || (!text->isEmpty() && *text == text->trimmed());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     static_cast<qsizetype>(size));
    const auto item = AppcastParser::newestItem(bytes);
    if (!item)
        return 0;
    if (item->version < 1 || item->length < 1 || item->edSignature.isEmpty()
        || !item->enclosureURL.isValid() || !hasDiskImageName(item->enclosureURL)
        || QUrl(item->enclosureURLText, QUrl::StrictMode) != item->enclosureURL
        || !isTrimmedText(item->title) || !isTrimmedText(item->shortVersionString)
        || !isTrimmedText(item->minimumSystemVersion)
        || (item->pubDate && (!item->pubDate->isValid() || item->pubDate->timeSpec() != Qt::UTC)))
        std::abort();
    // Reading is a pure function of the bytes.
    if (AppcastParser::newestItem(bytes) != item)
        std::abort();
    return 0;
}
