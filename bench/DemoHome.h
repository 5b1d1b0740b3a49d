#pragma once

// What the window benchmarks share: the demo collection's site and a fresh home made as
// scripts/demo makes them, the site served on loopback, and the environment that points a
// launcher at both.

#include "BenchGames.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <optional>

namespace vantry::bench {

// The demo site and a fresh demo home under `root`: root/demo/site and root/home.
inline bool makeDemo(const QTemporaryDir &root)
{
    const QString demo = root.filePath(QStringLiteral("demo")), home = root.filePath(QStringLiteral("home"));
    return run(QStringLiteral(VANTRY_SOURCE_DIR "/demo/make-site"),
               {QStringLiteral("--publish"), QStringLiteral(VANTRY_PUBLISH_TOOL), QStringLiteral("--game"),
                QStringLiteral(VANTRY_DEMO_GAME), QStringLiteral("--out"), demo}) &&
           QDir().mkpath(home + QStringLiteral("/tmp")) && QDir().mkpath(home + QStringLiteral("/runtime")) &&
           QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
           run(QStringLiteral("cp"), {QStringLiteral("-a"), demo + QStringLiteral("/home-seed/Applications"), home});
}

// Serves `site` in `server`; the address for VANTRY_CONNECT_TO, or nothing.
inline std::optional<QString> serve(QProcess &server, const QString &site)
{
    server.start(QStringLiteral(VANTRY_PUBLISH_TOOL),
                 {QStringLiteral("serve"), site, QStringLiteral("--port"), QStringLiteral("0")});
    QByteArray announced;
    const QRegularExpression connectTo(QStringLiteral("VANTRY_CONNECT_TO=(\\S+)"));
    QRegularExpressionMatch match;
    while (!(match = connectTo.match(QString::fromUtf8(announced))).hasMatch() && server.waitForReadyRead(30'000))
        announced += server.readAllStandardOutput();
    if (!match.hasMatch()) {
        std::fprintf(stderr, "vantry-publish serve named no address: %s\n", server.readAllStandardError().constData());
        return std::nullopt;
    }
    return match.captured(1);
}

// This environment with `home` as the user's home and the served site as the catalog host.
inline QProcessEnvironment homeEnvironment(const QString &home, const QString &connectTo)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const std::pair<const char *, QString> variables[] = {
        {"HOME", home},
        {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")},
        {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
        {"XDG_STATE_HOME", home + QStringLiteral("/.local/state")},
        {"XDG_CACHE_HOME", home + QStringLiteral("/.cache")},
        {"TMPDIR", home + QStringLiteral("/tmp")},
        {"XDG_RUNTIME_DIR", home + QStringLiteral("/runtime")},
        {"GIO_USE_VFS", QStringLiteral("local")},
        {"VANTRY_CONNECT_TO", connectTo},
        {"VANTRY_EXTRA_CA", developmentKeys + QStringLiteral("tls.crt")},
    };
    for (const auto &[name, value] : variables)
        environment.insert(QString::fromLatin1(name), value);
    return environment;
}

inline bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace vantry::bench
