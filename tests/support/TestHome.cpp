#include <support/TestHome.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace vantry::test {

TestHome::TestHome()
{
    const QString home = this->home();
    QDir().mkpath(home);
    const std::pair<const char *, QString> variables[] = {
        {"HOME", home},
        {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
        {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")},
        {"XDG_CACHE_HOME", home + QStringLiteral("/.cache")},
    };
    for (const auto &[name, value] : variables) {
        m_saved.append({name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
        qputenv(name, QFile::encodeName(value));
    }
}

TestHome::~TestHome()
{
    for (const auto &[name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString TestHome::home() const { return m_root.filePath(QStringLiteral("home")); }

QString TestHome::scratch(const QString &name) const { return m_root.filePath(name); }

bool put(const QString &path, QByteArrayView bytes, mode_t mode)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes.data(), bytes.size()) == bytes.size() &&
           ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool plantHostileInfoPlists(const QString &folder)
{
    const auto plist = [&](const char *bundle) {
        const QString contents = folder + u'/' + QLatin1String(bundle) + u"/Contents"_qs;
        return QDir().mkpath(contents) ? QFile::encodeName(contents + u"/Info.plist"_qs) : QByteArray();
    };
    // A readable list up front, so only the size can make it unreadable.
    const QByteArray head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                            "<string>com.example.huge</string></dict></plist>";
    return ::mkfifo(plist("Fifo.app").constData(), 0644) == 0 &&
           ::symlink("/dev/zero", plist("Zero.app").constData()) == 0 &&
           put(QFile::decodeName(plist("Huge.app")), head + QByteArray(1024 * 1024, ' '));
}

} // namespace vantry::test
