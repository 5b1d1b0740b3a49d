#pragma once

#include <QByteArray>
#include <QFile>

namespace vantry::bench {

// A "Name:  1234 kB" figure of a /proc/PID/status file, in KiB; -1 when it cannot be read.
inline qint64 statusKiB(const QString &statusFile, const QByteArray &field)
{
    QFile status(statusFile);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.read(64 * 1024).split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// RssAnon of /proc/self/status, in KiB: the memory of this process that no file stands behind.
inline qint64 anonymousKiB()
{
    return statusKiB(QStringLiteral("/proc/self/status"), "RssAnon");
}

} // namespace vantry::bench
