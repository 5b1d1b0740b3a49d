#include <support/TestHome.h>

#include <QDir>

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

} // namespace vantry::test
