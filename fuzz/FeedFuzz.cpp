// Feeds arbitrary bytes to the maker's feed writer as the feed a release is added to. Beyond not
// crashing, a feed it accepts must come back with the new item where the launcher's reader finds
// it, and with the old text around it unchanged.
#include <publish/Feed.h>

#include <catalog/AppcastParser.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

using namespace vantry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const Publish::Feed::Item item {u"Game 1.0"_qs,
                                    QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC),
                                    std::numeric_limits<std::int64_t>::max(),
                                    u"1.0"_qs,
                                    u"2.31"_qs,
                                    u"Notes & <more>"_qs,
                                    u"https://catalog.vantry.test/a.dmg"_qs,
                                    4096,
                                    u"c2ln"_qs};
    const auto written = Publish::Feed::withItem(bytes, item);
    if (!written)
        return 0;
    const auto items = AppcastParser::validItems(*written);
    const bool found = std::any_of(items.begin(), items.end(), [&](const AppcastItem &read) {
        return read.version == item.version && read.edSignature == item.edSignature &&
               read.title == item.title && read.minimumSystemVersion == item.minimumSystemVersion;
    });
    // Taking the new text out again gives the old feed (a byte-order mark aside).
    const QByteArray body = bytes.startsWith("\xef\xbb\xbf") ? bytes.sliced(3) : bytes;
    const qsizetype added = written->size() - body.size();
    qsizetype same = 0;
    while (same < body.size() && written->at(same) == body[same])
        ++same;
    if (!found || added <= 0 || written->mid(same + added) != body.mid(same))
        std::abort();
    return 0;
}
