#pragma once

#include <publish/Arguments.h>

#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QTextStream>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <optional>

// The maker's site, laid out as the launcher fetches it from the catalog host:
//
//     catalog.json, catalog.json.sig      the signed catalog
//     icons/ID.png                        each title's icon
//     updates/ID.xml                      each title's appcast
//     releases/ID/ID-BUILD.dmg            one release image per build
namespace vantry::Publish {

/// Why a command stops: its exit status (PublishTool.h) and the reason, for the error stream.
struct Refusal {
    int status = 1;
    QString reason;
};

} // namespace vantry::Publish

namespace vantry::Publish::Site {

inline constexpr char catalogFile[] = "catalog.json";
inline constexpr char signatureFile[] = "catalog.json.sig";

[[nodiscard]] QString feedPath(const QString &id);
[[nodiscard]] QString iconPath(const QString &id);
[[nodiscard]] QString imagePath(const QString &id, std::int64_t build);

/// https://HOST/RELATIVE, the URL at which the catalog host serves a file of the site.
[[nodiscard]] QString url(const QString &host, const QString &relative);

/// The file of the site a URL on the origin names: its decoded path without the leading "/".
[[nodiscard]] std::optional<QString> pathOf(const QUrl &url);

/// A title id as the catalog has it: a-z, 0-9 and "-", not empty. It names files of the site.
[[nodiscard]] bool isTitleId(QStringView text);

/// The host the site's URLs name: `--host` when given (a plain lower-case host name), otherwise
/// the build's catalog host; nothing for a value that is not a host name.
[[nodiscard]] std::optional<QString> host(const std::optional<QString> &option);

/// Reads a file of the site with a byte limit, never leaving the site.
[[nodiscard]] Expected<QByteArray, SystemError> read(const QString &site, const QString &relative,
                                                     qsizetype limit);

/// Makes the site's folder `relative` with its parents and gives its path; refused (with the
/// reason) when it would lie outside the site, through a link that leads out.
[[nodiscard]] Expected<QString, QString> folder(const QString &site, const QString &relative);

/// The release key, a PEM private key as keygen writes it, from a file or from standard input
/// for "-". Refused when the file lies inside the site, which is published, or when it is not the
/// private half of the release key this build trusts; a usage error when it cannot be read.
[[nodiscard]] Expected<QByteArray, Refusal> releaseKey(const QString &argument,
                                                       const QString &site);

/// The common frame of the commands that change a site: checks `--id` and `--host`, runs
/// `change` with them, and reports what it says under the command's `name`. The exit status.
int change(const char *name, const Arguments &parsed, QTextStream &out, QTextStream &err,
           const std::function<Expected<QString, Refusal>(const QString &id, const QString &host)>
               &change);

} // namespace vantry::Publish::Site
