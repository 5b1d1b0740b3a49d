#pragma once

// What the benchmarks share: running the maker's tool, and making a game bundle the launcher's
// checks accept, signed and notarized with the development keys.

#include <platform/FileSystem.h>
#include <platform/PropertyList.h>

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <cstdio>
#include <optional>

namespace vantry::bench {

inline const QString developmentKeys = QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/");

// Runs a program to its end; its standard output, or nothing when it failed.
inline std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

inline std::optional<QByteArray> publish(const QStringList &arguments)
{
    return run(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments);
}

// `bundle` with the identifier `id`, build 1 ("1.0"), and /bin/true as its program "Game".
inline bool makeGameBundle(const QString &bundle, const QString &id)
{
    const QString contents = bundle + QStringLiteral("/Contents");
    const PlistValue info(PlistValue::Dictionary {
        {QStringLiteral("CFBundleIdentifier"), id},
        {QStringLiteral("CFBundleExecutable"), QStringLiteral("Game")},
        {QStringLiteral("CFBundleVersion"), QStringLiteral("1")},
        {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0")},
    });
    return FileSystem::makeDirectories(contents + QStringLiteral("/MacOS")) &&
           FileSystem::makeDirectories(contents + QStringLiteral("/Resources")) &&
           FileSystem::writeFileAtomically(contents + QStringLiteral("/Info.plist"), info.toXml()) &&
           QFile::copy(QStringLiteral("/bin/true"), contents + QStringLiteral("/MacOS/Game"));
}

// Signs `bundle` with the development developer key and staples a development notary ticket.
inline bool signAndNotarize(const QString &bundle)
{
    return publish({QStringLiteral("codesign"), bundle, QStringLiteral("--key"), developmentKeys + QStringLiteral("developer.key"),
                    QStringLiteral("--certificate"), developmentKeys + QStringLiteral("developer.cert")}) &&
           publish({QStringLiteral("notarize"), bundle, QStringLiteral("--key"), developmentKeys + QStringLiteral("notary.key")});
}

} // namespace vantry::bench
