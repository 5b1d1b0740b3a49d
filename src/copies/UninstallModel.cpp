#include <copies/UninstallModel.h>

#include <platform/Paths.h>

#include <QCoreApplication>
#include <QDir>

#include <utility>

namespace vantry {

namespace {

QString message(const char *english) { return QCoreApplication::translate("RemovalRefusal", english); }

// "<name>.app" exactly: the extension is case-sensitive and a bare ".app" names no bundle.
bool isAppBundle(const QString &path)
{
    const QString name = path.section(u'/', -1);
    return name.size() > 4 && name.endsWith(u".app"_qs, Qt::CaseSensitive);
}

} // namespace

RemovalRefusal RemovalRefusal::identityMismatch(std::optional<QString> found)
{
    RemovalRefusal refusal(Case::identityMismatch);
    refusal.m_found = std::move(found);
    return refusal;
}

QString RemovalRefusal::userFacingDescription() const
{
    switch (m_case) {
    case Case::identityMismatch:
        return message("the copy now identifies as a different app (%1)")
            .arg(m_found.value_or(message("no bundle identifier")));
    case Case::running:
        return message("the game is running");
    case Case::notACandidate:
        return message("the path is not one discovery returned for this title");
    case Case::notWritable:
        return message("the copy is not writable by you");
    }
    Q_UNREACHABLE();
}

namespace UninstallModel {

std::optional<RemovalRefusal> refusal(const RemovalFacts &facts, const QString &bundleId)
{
    if (facts.running)
        return RemovalRefusal::running();
    if (!isAppBundle(facts.canonicalURL) || !facts.isCandidate)
        return RemovalRefusal::notACandidate();
    if (facts.identity != bundleId)
        return RemovalRefusal::identityMismatch(facts.identity);
    if (!facts.writable)
        return RemovalRefusal::notWritable();
    return std::nullopt;
}

QList<InstallCopy> bulkRemovalSet(const InstallResolution &resolution)
{
    QList<InstallCopy> others;
    for (const InstallCopy &copy : resolution.copies) {
        if (copy.canonicalURL != resolution.current.canonicalURL)
            others.append(copy);
    }
    return others;
}

QStringList userDataPaths(const QString &bundleId, const UserLibrary &library,
                          const std::optional<QString> &launcherBundleId)
{
    // A NUL would cut the path short at the data home itself. On this host the launcher's own
    // data lies in folders of its name, which a game's identifier must not reach either.
    if (bundleId.isEmpty() || bundleId.contains(u'/') || bundleId.contains(QChar(u'\0')) ||
        bundleId == u"." || bundleId == u".." || bundleId == launcherBundleId ||
        bundleId.compare(Paths::launcherFolderName, Qt::CaseInsensitive) == 0)
        return {};
    QStringList paths;
    for (const QString &folder : {library.configHome, library.dataHome, library.sandboxedApps}) {
        if (QDir::isAbsolutePath(folder))
            paths.append(QDir::cleanPath(folder + u'/' + bundleId));
    }
    return paths;
}

QList<RemovalConfirmationButton> confirmationButtons(bool isLastCopy)
{
    if (isLastCopy)
        return {RemovalConfirmationButton::cancel, RemovalConfirmationButton::removeKeepingData,
                RemovalConfirmationButton::removeWithData};
    return {RemovalConfirmationButton::cancel, RemovalConfirmationButton::removeKeepingData};
}

} // namespace UninstallModel
} // namespace vantry
