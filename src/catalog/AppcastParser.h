#pragma once

#include <catalog/AppcastItem.h>

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QStringView>

#include <optional>

namespace vantry::AppcastParser {

/// The Sparkle appcast XML namespace; elements and attributes are matched by this URI, whatever
/// prefix a feed binds to it.
inline constexpr char16_t sparkleNamespace[] =
    u"http://www.andymatuschak.org/xml-namespaces/sparkle";

/// The one release the launcher considers from an appcast: among the valid items, the one with
/// the highest build number; on a tie, the first in the document.
///
/// An item is valid when it has a Sparkle `version` element that is an integer of at least 1 and
/// an enclosure with a url whose path ends in ".dmg" (any case), a length of at least 1 and a
/// non-empty `sparkle:edSignature` (or plain `edSignature`). Invalid items are dropped silently.
/// Any XML error, anywhere in the document, gives no item at all: a feed cut off in transit must
/// not yield the releases listed before the cut.
///
/// Pure; may run on any thread.
[[nodiscard]] std::optional<AppcastItem> newestItem(QByteArrayView in);

/// Every valid item of the feed, in document order, by the rules of `newestItem`: none at all
/// after any XML error. Pure; may run on any thread.
[[nodiscard]] QList<AppcastItem> validItems(QByteArrayView in);

/// Reads an RFC 822 date of exactly the form "EEE, dd MMM yyyy HH:mm:ss Z" with English names,
/// for example "Tue, 05 Mar 2024 10:00:00 +0000"; the zone is a numeric offset "+HHMM"/"-HHMM"
/// or "GMT". Returns the instant in UTC, or nothing for any other text, including a weekday that
/// does not fall on the date and an instant outside the years 1 to 9999 in UTC.
[[nodiscard]] std::optional<QDateTime> rfc822Date(QStringView text);

} // namespace vantry::AppcastParser
