#pragma once

#include <core/Expected.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>

// Writing appcasts: a new feed, and one more item in an existing one whose other bytes stay as
// they are. Pure.
namespace vantry::Publish::Feed {

/// One release, as `release` adds it.
struct Item {
    QString title;
    QDateTime pubDate; // written to the second, in UTC
    std::int64_t version = 0;
    QString shortVersion;
    std::optional<QString> minimumSystemVersion;
    std::optional<QString> notes; // the description, as plain text
    QString url;
    std::int64_t length = 0;
    QString edSignature;
};

/// The RFC 822 text of an instant, in UTC: "Tue, 05 Mar 2024 10:00:00 +0000".
[[nodiscard]] QString rfc822(const QDateTime &instant);

/// An empty feed whose channel has `title`.
[[nodiscard]] QByteArray empty(const QString &title);

/// `feed` with `item` as its channel's first item; refused (with the reason) when the feed is
/// not well-formed UTF-8 XML with an rss channel, or when one of its items has a build of at
/// least the item's.
[[nodiscard]] Expected<QByteArray, QString> withItem(QByteArrayView feed, const Item &item);

} // namespace vantry::Publish::Feed
