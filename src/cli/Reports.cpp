#include <cli/Reports.h>

#include <cli/Texts.h>

#include <library/LibraryModel.h>
#include <platform/HostSystem.h>

#include <nlohmann/json.hpp>

#include <algorithm>

namespace vantry::Cli::Reports {

namespace {

using Json = nlohmann::ordered_json;

std::string utf8(const QString &text)
{
    return text.toStdString();
}

QByteArray document(const Json &json)
{
    return QByteArray::fromStdString(json.dump(2)) + '\n';
}

QString blockReason(UpdateBlock::Reason reason)
{
    switch (reason) {
    case UpdateBlock::Reason::notWritable:
        return QStringLiteral("notWritable");
    case UpdateBlock::Reason::parentNotWritable:
        return QStringLiteral("parentNotWritable");
    }
    Q_UNREACHABLE();
}

// The payload of a state: what it carries beyond its case.
Json detail(const TitleState &state)
{
    switch (state.discriminator()) {
    case TitleState::Case::downloading:
        return Json::object({{"fraction", state.fraction()}});
    case TitleState::Case::verifying:
    case TitleState::Case::installing:
        return Json::object({{"step", utf8(rawValue(*state.step()))}});
    case TitleState::Case::failed: {
        Json failed = Json::object();
        if (state.step())
            failed["step"] = utf8(rawValue(*state.step()));
        failed["message"] = utf8(state.text());
        return failed;
    }
    case TitleState::Case::unavailable:
        return Json::object({{"message", utf8(state.text())}});
    case TitleState::Case::requiresNewerMacOS:
        return Json::object({{"version", utf8(state.text())}});
    case TitleState::Case::available:
    case TitleState::Case::queued:
    case TitleState::Case::installed:
    case TitleState::Case::updateAvailable:
    case TitleState::Case::running:
        return nullptr;
    }
    Q_UNREACHABLE();
}

template <class T> Json orNull(const std::optional<T> &value, auto convert)
{
    return value ? Json(convert(*value)) : Json(nullptr);
}

QString versionText(const InstalledObservation &observation)
{
    return text("%1 (build %2)")
        .arg(observation.shortVersion, QString::number(observation.version));
}

// Rows of cells, each column as wide as its widest cell.
QStringList table(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (column == widths.size())
                widths.append(0);
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column)
            line += column + 1 < row.size() ? row[column].leftJustified(widths[column] + 2)
                                            : row[column];
        lines.append(line);
    }
    return lines;
}

} // namespace

QString updateBlockNote(const QString &name, const UpdateBlock &block)
{
    return text("The update of %1 cannot go into %2: %3. install-managed installs a managed copy "
                "instead.")
        .arg(name, block.copyURL, block.userFacingReason());
}

QString statusText(const TitleState &state)
{
    switch (state.discriminator()) {
    case TitleState::Case::available:
        return text("Available");
    case TitleState::Case::requiresNewerMacOS:
        return text("Needs %1 %2").arg(HostSystem::name(), state.text());
    case TitleState::Case::unavailable:
        return text("Unavailable");
    case TitleState::Case::queued:
        return text("Queued");
    case TitleState::Case::downloading:
        return text("Downloading %1%").arg(int(state.fraction() * 100));
    case TitleState::Case::verifying:
        return text("Verifying");
    case TitleState::Case::installing:
        return text("Installing");
    case TitleState::Case::installed:
        return text("Installed");
    case TitleState::Case::updateAvailable:
        return text("Update available");
    case TitleState::Case::running:
        return text("Running");
    case TitleState::Case::failed:
        return text("Needs attention");
    }
    Q_UNREACHABLE();
}

QByteArray listJson(const LibraryModel &model)
{
    Json titles = Json::array();
    const QList<Catalog::Entry> games =
        model.catalog() ? model.catalog()->games : QList<Catalog::Entry>();
    for (const Catalog::Entry &entry : games) {
        const QString &id = entry.id;
        const auto state = model.states().constFind(id);
        const bool known = entry.released && state != model.states().cend();
        const auto installed = model.installedVersions().constFind(id);
        const auto block = model.updateBlocks().constFind(id);
        titles.push_back(Json::object({
            {"id", utf8(id)},
            {"name", utf8(entry.name)},
            {"released", entry.released},
            {"state",
             known ? Json(utf8(TitleState::rawValue(state->discriminator()))) : Json(nullptr)},
            {"detail", known ? detail(*state) : Json(nullptr)},
            {"installedVersion", installed != model.installedVersions().cend()
                                     ? Json(installed->version)
                                     : Json(nullptr)},
            {"copies", model.resolutions().value(id).copies.size()},
            {"updateBlock", block == model.updateBlocks().cend()
                                ? Json(nullptr)
                                : Json::object({{"reason", utf8(blockReason(block->reason))},
                                                {"copy", utf8(block->copyURL)}})},
        }));
    }
    return document(Json::object({
        {"offline", model.isOffline()},
        {"launcherUpdateAvailable", model.launcherUpdateAvailable()},
        {"notice", orNull(model.notice(), utf8)},
        {"titles", titles},
    }));
}

QStringList listLines(const LibraryModel &model)
{
    QStringList lines;
    if (model.isOffline())
        lines << text("Vantry is offline. Check your connection, then refresh.");
    if (model.launcherUpdateAvailable())
        lines << text("A newer Vantry is available.");
    if (model.notice())
        lines << *model.notice();
    QList<QStringList> rows {
        {text("ID"), text("NAME"), text("STATE"), text("INSTALLED"), text("COPIES")}};
    QStringList blocks;
    const QList<Catalog::Entry> games =
        model.catalog() ? model.catalog()->games : QList<Catalog::Entry>();
    for (const Catalog::Entry &entry : games) {
        const auto state = model.states().constFind(entry.id);
        QString status = !entry.released                  ? text("Announced")
                         : state == model.states().cend() ? QStringLiteral("-")
                                                          : statusText(*state);
        if (state != model.states().cend() && !state->text().isEmpty() &&
            state->discriminator() != TitleState::Case::requiresNewerMacOS)
            status += u": "_qs + state->text();
        const auto installed = model.installedVersions().constFind(entry.id);
        rows.append({entry.id, entry.name, status,
                     installed == model.installedVersions().cend() ? QStringLiteral("-")
                                                                   : versionText(*installed),
                     QString::number(model.resolutions().value(entry.id).copies.size())});
        if (const auto block = model.updateBlocks().constFind(entry.id);
            block != model.updateBlocks().cend())
            blocks << updateBlockNote(entry.name, *block);
    }
    return lines + table(rows) + blocks;
}

QByteArray copiesJson(const QList<InstallCopy> &copies, const QString &currentPath)
{
    Json list = Json::array();
    for (const InstallCopy &copy : copies) {
        list.push_back(Json::object({
            {"path", utf8(copy.canonicalURL)},
            {"version", copy.observation.version},
            {"shortVersion", utf8(copy.observation.shortVersion)},
            {"managed", copy.origin == InstallCopy::Origin::managed},
            {"current", copy.canonicalURL == currentPath},
        }));
    }
    return document(Json::object({{"copies", list}}));
}

QStringList copiesLines(const QList<InstallCopy> &copies, const QString &currentPath)
{
    QList<QStringList> rows;
    for (const InstallCopy &copy : copies) {
        rows.append({copy.canonicalURL, versionText(copy.observation),
                     InstallCopy::rawValue(copy.origin),
                     copy.canonicalURL == currentPath ? text("current") : QString()});
    }
    return table(rows);
}

QByteArray verifyJson(const QList<CopyCheck> &checks)
{
    Json list = Json::array();
    for (const CopyCheck &check : checks) {
        list.push_back(Json::object({
            {"path", utf8(check.path)},
            {"signatureValid", check.signatureValid},
            {"notarized", check.notarized},
            {"problem", orNull(check.problem, utf8)},
        }));
    }
    return document(Json::object({{"copies", list}}));
}

QStringList verifyLines(const QList<CopyCheck> &checks)
{
    QStringList lines;
    for (const CopyCheck &check : checks)
        lines << check.path + u": "_qs + check.problem.value_or(text("signature valid, notarized"));
    return lines;
}

} // namespace vantry::Cli::Reports
