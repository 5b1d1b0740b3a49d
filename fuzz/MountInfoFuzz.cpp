// Feeds arbitrary text to the mountinfo reader as a whole table. Whatever mount it picks for a
// path must be one of the table's lines and must hold that path.
#include <platform/VolumeProbe.h>

#include <QList>

#include <cstdlib>

using namespace vantry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QList<VolumeProbe::Mount> lines;
    for (const QByteArray &line : text.split('\n')) {
        if (const auto mount = VolumeProbe::parseMountLine(line)) {
            if (!mount->mountPoint.startsWith(u'/') || mount->fsType.isEmpty())
                std::abort();
            lines.append(*mount);
        }
    }
    for (const QString &path : {QStringLiteral("/"), QStringLiteral("/home/user/Games/a b")}) {
        const auto chosen = VolumeProbe::mountHolding(text, path);
        if (!chosen)
            continue;
        const QString &point = chosen->mountPoint;
        if (!lines.contains(*chosen) ||
            !(point == u"/" || point == path || path.startsWith(point + QLatin1Char('/'))))
            std::abort();
    }
    return 0;
}
