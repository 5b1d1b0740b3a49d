#include <platform/VolumeProbe.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vantry::VolumeProbe {

namespace {

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

// The kernel writes a space, tab, line break or backslash in a name as a backslash and three
// octal digits.
QString decodeField(const QByteArray &field)
{
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            bytes.append(static_cast<char>(((field[i + 1] - '0') << 6) |
                                           ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
            i += 3;
        } else {
            bytes.append(field[i]);
        }
    }
    return QFile::decodeName(bytes);
}

std::optional<dev_t> parseDevice(const QByteArray &field)
{
    const QList<QByteArray> parts = field.split(':');
    if (parts.size() != 2)
        return std::nullopt;
    bool majorOk = false;
    bool minorOk = false;
    const uint majorNumber = parts[0].toUInt(&majorOk);
    const uint minorNumber = parts[1].toUInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    return makedev(majorNumber, minorNumber);
}

bool holds(const QString &mountPoint, const QString &path)
{
    return mountPoint == u"/" || path == mountPoint || path.startsWith(mountPoint + u'/');
}

// Whether `path` exists; absent when that cannot be told.
std::optional<bool> exists(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    return std::nullopt;
}

} // namespace

std::optional<Mount> parseMountLine(QByteArrayView line)
{
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    const QList<QByteArray> fields = line.toByteArray().split(' ');
    constexpr qsizetype firstOptional = 6;
    const qsizetype separator = fields.indexOf(QByteArray("-"), firstOptional);
    // Super-options come last and are not read; some file systems leave blanks in them unescaped.
    if (separator < 0 || fields.size() < separator + 4)
        return std::nullopt;
    bool idOk = false;
    (void)fields[0].toUInt(&idOk);
    const auto device = parseDevice(fields[2]);
    if (!idOk || !device || !fields[4].startsWith('/'))
        return std::nullopt;
    const QString fsType = decodeField(fields[separator + 1]);
    if (fsType.isEmpty())
        return std::nullopt;
    return Mount {*device, decodeField(fields[4]), fsType, decodeField(fields[separator + 2])};
}

std::optional<Mount> mountHolding(QByteArrayView mountInfo, const QString &resolvedPath)
{
    std::optional<Mount> best;
    for (const QByteArray &line : mountInfo.toByteArray().split('\n')) {
        if (line.isEmpty())
            continue;
        auto mount = parseMountLine(line);
        if (!mount)
            return std::nullopt;
        if (holds(mount->mountPoint, resolvedPath) &&
            (!best || mount->mountPoint.size() >= best->mountPoint.size()))
            best = std::move(mount);
    }
    return best;
}

std::optional<QByteArray> readMountTable()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray text = table.readAll();
    if (table.error() != QFileDevice::NoError)
        return std::nullopt;
    return text;
}

bool isFuse(const QString &fsType)
{
    return fsType == u"fuse" || fsType == u"fuseblk" || fsType.startsWith(u"fuse.");
}

namespace {

// Stacks of mapped devices are a few levels deep; a cycle would be a broken sysfs.
constexpr int deepestStack = 8;

std::optional<bool> removableAt(const QString &deviceFolder, int depth)
{
    const QString folder = QFileInfo(deviceFolder).canonicalFilePath();
    if (folder.isEmpty() || depth > deepestStack)
        return std::nullopt;
    const auto partition = exists(folder + u"/partition"_qs);
    if (!partition)
        return std::nullopt;
    const QString disk = *partition ? QFileInfo(folder).path() : folder;
    // Loop devices report fixed, yet what they hold is a disk image.
    if (QFileInfo(disk).fileName().startsWith(u"loop"))
        return true;
    // Mapped and RAID devices (an encrypted stick, say) report fixed themselves: the devices they
    // are built on decide.
    const QDir slaves(disk + u"/slaves"_qs);
    bool unknown = false;
    for (const QString &slave : slaves.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const auto below = removableAt(slaves.filePath(slave), depth + 1);
        if (below && *below)
            return true;
        unknown = unknown || !below;
    }
    if (unknown)
        return std::nullopt;
    QFile attribute(disk + u"/removable"_qs);
    if (!attribute.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray value = attribute.readAll().trimmed();
    if (attribute.error() != QFileDevice::NoError)
        return std::nullopt;
    if (value == "1")
        return true;
    if (value == "0")
        return false;
    return std::nullopt;
}

} // namespace

std::optional<bool> isRemovable(const QString &deviceFolder) { return removableAt(deviceFolder, 0); }

} // namespace vantry::VolumeProbe
