#pragma once

#include <QByteArray>
#include <QFile>

namespace vantry::bench {

// RssAnon of /proc/self/status, in KiB: the memory of this process that no file stands behind.
inline qint64 anonymousKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace vantry::bench
