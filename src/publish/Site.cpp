#include <publish/Site.h>

#include <publish/PublishTool.h>

#include <platform/FileSystem.h>
#include <signing/PrivateKeys.h>
#include <vantry/BuildConfig.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace vantry::Publish::Site {

namespace {

bool isLowerNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-';
}

bool isWithin(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + u'/');
}

// A key is a few hundred bytes; standard input is read no further than this.
constexpr qint64 keyLimit = 64 * 1024;

} // namespace

QString feedPath(const QString &id)
{
    return QStringLiteral("updates/%1.xml").arg(id);
}

QString iconPath(const QString &id)
{
    return QStringLiteral("icons/%1.png").arg(id);
}

QString imagePath(const QString &id, std::int64_t build)
{
    return QStringLiteral("releases/%1/%1-%2.dmg").arg(id).arg(build);
}

QString url(const QString &host, const QString &relative)
{
    return QStringLiteral("https://%1/%2").arg(host, relative);
}

std::optional<QString> pathOf(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(u'/') || path.size() < 2 || path.endsWith(u'/'))
        return std::nullopt;
    return path.mid(1);
}

bool isTitleId(QStringView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isLowerNameCharacter);
}

std::optional<QString> host(const std::optional<QString> &option)
{
    if (!option)
        return QString::fromLatin1(BuildConfig::catalogHost);
    const bool plain = std::all_of(option->begin(), option->end(),
                                   [](QChar c) { return isLowerNameCharacter(c) || c == u'.'; });
    if (!plain || option->isEmpty() || option->startsWith(u'.') || option->endsWith(u'.'))
        return std::nullopt;
    return option;
}

Expected<QByteArray, SystemError> read(const QString &site, const QString &relative,
                                       qsizetype limit)
{
    const auto fd = FileSystem::openBeneath(site, relative);
    if (!fd)
        return unexpected(fd.error());
    return FileSystem::readSmallFile(*fd, site + u'/' + relative, limit);
}

Expected<QString, QString> folder(const QString &site, const QString &relative)
{
    const QString path = site + u'/' + relative;
    if (auto made = FileSystem::makeDirectories(path); !made)
        return unexpected(made.error().describe());
    if (!isWithin(FileSystem::canonicalPath(path), FileSystem::canonicalPath(site)))
        return unexpected(QStringLiteral("%1 leads out of the site").arg(path));
    return path;
}

Expected<QByteArray, Refusal> releaseKey(const QString &argument, const QString &site)
{
    QByteArray key;
    if (argument == u"-") {
        QFile input;
        if (!input.open(stdin, QIODevice::ReadOnly))
            return unexpected(
                Refusal {usageError, QStringLiteral("standard input cannot be read")});
        key = input.read(keyLimit + 1);
    } else {
        // A key kept in the site would be published with it.
        if (isWithin(FileSystem::canonicalPath(QFileInfo(argument).absoluteFilePath()),
                     FileSystem::canonicalPath(site)))
            return unexpected(Refusal {
                refused,
                QStringLiteral(
                    "%1 lies inside the site, which is published: keep the private key elsewhere")
                    .arg(argument)});
        auto bytes = FileSystem::readSmallFile(argument, keyLimit, FileSystem::LastLink::follow);
        if (!bytes)
            return unexpected(Refusal {usageError, bytes.error().describe()});
        key = std::move(*bytes);
    }
    const auto publicKey = Crypto::ed25519PublicKey(key);
    if (key.size() > keyLimit || !publicKey)
        return unexpected(Refusal {
            usageError, QStringLiteral("%1 is not an Ed25519 private key")
                            .arg(argument == u"-" ? QStringLiteral("standard input") : argument)});
    // What another key signs, this build's launcher refuses.
    if (QString::fromLatin1(publicKey->toBase64()) != QLatin1String(BuildConfig::releasePublicKey))
        return unexpected(Refusal {
            refused, QStringLiteral("the key is not the release key this build trusts (%1)")
                         .arg(QLatin1String(BuildConfig::releasePublicKey))});
    return key;
}

int change(
    const char *name, const Arguments &parsed, QTextStream &out, QTextStream &err,
    const std::function<Expected<QString, Refusal>(const QString &id, const QString &host)> &change)
{
    const QString id = parsed.value(QStringLiteral("--id")).value_or(QString());
    const auto hostName = host(parsed.value(QStringLiteral("--host")));
    Expected<QString, Refusal> changed =
        unexpected(Refusal {usageError, QStringLiteral("--host takes a host name")});
    if (!isTitleId(id))
        changed =
            unexpected(Refusal {usageError, QStringLiteral("a title id is a-z, 0-9 and '-'")});
    else if (hostName)
        changed = change(id, *hostName);
    if (!changed) {
        err << "vantry-publish " << name << ": " << changed.error().reason << '\n';
        return changed.error().status;
    }
    out << *changed;
    return success;
}

} // namespace vantry::Publish::Site
