#include <cli/Commands.h>

#include <cli/CopyCheck.h>
#include <cli/ProgressView.h>
#include <cli/Reports.h>
#include <cli/Session.h>
#include <cli/Texts.h>

#include <catalog/Catalog.h>
#include <copies/LaunchService.h>
#include <copies/UninstallModel.h>
#include <core/OffMain.h>
#include <install/InstallEngine.h>
#include <library/LibraryModel.h>
#include <platform/FileSystem.h>
#include <platform/HostSystem.h>

#include <QCoroFuture>
#include <QCoroSignal>

#include <algorithm>

namespace vantry::Cli {

namespace {

/// Opens once and stays open; a task may wait for it before or after.
class Latch : public QObject
{
    Q_OBJECT
public:
    void open()
    {
        m_open = true;
        Q_EMIT opened();
    }
    QCoro::Task<void> wait()
    {
        if (!m_open)
            co_await qCoro(this, &Latch::opened);
    }
Q_SIGNALS:
    void opened();

private:
    bool m_open = false;
};

// One command on one title, on a started session.
class Runner
{
public:
    Runner(Session &session, Console &console, Invocation invocation)
        : m_model(session.model()), m_engine(session.engine()), m_console(console),
          m_invocation(std::move(invocation))
    {
    }

    QCoro::Task<int> run();

private:
    QCoro::Task<int> install();
    QCoro::Task<int> installManaged();
    QCoro::Task<int> play();
    QCoro::Task<int> quitAndUpdate();
    int copies();
    QCoro::Task<int> remove();
    QCoro::Task<int> removeOthers();
    QCoro::Task<int> verify();

    QCoro::Task<int> awaitJob(qint64 expectedLength);
    QCoro::Task<Expected<RemovalConfirmationButton, int>>
    confirm(QString question, QStringList paths, QStringList dataPaths, bool lastCopy);
    [[nodiscard]] std::optional<QString> installRefusal() const;
    [[nodiscard]] bool hasNewerRelease() const;
    [[nodiscard]] InstallResolution resolution() const
    {
        return m_model.resolutions().value(m_entry.id);
    }
    int refuse(const QString &message)
    {
        m_console.complain(message);
        return refused;
    }
    QString named(const char *english) const { return text(english).arg(m_entry.name); }

    LibraryModel &m_model;
    InstallEngine &m_engine;
    Console &m_console;
    const Invocation m_invocation;
    Catalog::Entry m_entry;
};

QCoro::Task<int> Runner::run()
{
    const Command command = *m_invocation.command;
    if (command == Command::list) {
        if (m_invocation.json)
            m_console.write(QString::fromUtf8(Reports::listJson(m_model)));
        else
            m_console.print(Reports::listLines(m_model).join(u'\n'));
        co_return done;
    }
    if (!m_model.catalog())
        co_return refuse(text("Vantry is offline. Check your connection, then refresh."));
    const QList<Catalog::Entry> &games = m_model.catalog()->games;
    const auto found =
        std::find_if(games.cbegin(), games.cend(), [this](const Catalog::Entry &entry) {
            return entry.id == m_invocation.titleId;
        });
    if (found == games.cend()) {
        m_console.complain(
            text("vantry-cli: no title '%1' in the catalog").arg(m_invocation.titleId));
        co_return misused;
    }
    m_entry = *found;
    switch (command) {
    case Command::list:
        break;
    case Command::install:
        co_return co_await install();
    case Command::installManaged:
        co_return co_await installManaged();
    case Command::play:
        co_return co_await play();
    case Command::quitAndUpdate:
        co_return co_await quitAndUpdate();
    case Command::copies:
        co_return copies();
    case Command::remove:
        co_return co_await remove();
    case Command::removeOthers:
        co_return co_await removeOthers();
    case Command::verify:
        co_return co_await verify();
    }
    co_return misused;
}

// Why an install of the title would not start, in the window's words; the engine only logs it.
std::optional<QString> Runner::installRefusal() const
{
    if (!m_entry.released)
        return named("%1 is announced but not released yet.");
    const auto state = m_model.states().constFind(m_entry.id);
    if (state == m_model.states().cend())
        return named("%1 cannot be installed now.");
    switch (state->discriminator()) {
    case TitleState::Case::available:
    case TitleState::Case::updateAvailable:
        return std::nullopt;
    case TitleState::Case::installed:
        if (const auto block = m_model.updateBlocks().constFind(m_entry.id);
            block != m_model.updateBlocks().cend()) {
            return Reports::updateBlockNote(m_entry.name, *block);
        }
        return named("%1 is installed and up to date.");
    case TitleState::Case::running:
        return hasNewerRelease() ? named("%1 is running. Quit it first, or use quit-and-update.")
                                 : named("%1 is installed and up to date.");
    case TitleState::Case::requiresNewerMacOS:
        return text("This game needs %1 %2 or later.").arg(HostSystem::name(), state->text());
    case TitleState::Case::unavailable:
    case TitleState::Case::failed:
        return state->text();
    case TitleState::Case::queued:
    case TitleState::Case::downloading:
    case TitleState::Case::verifying:
    case TitleState::Case::installing:
        return named("%1 is already being installed.");
    }
    Q_UNREACHABLE();
}

bool Runner::hasNewerRelease() const
{
    const auto item = m_model.appcastItems().constFind(m_entry.id);
    const auto installed = m_model.installedVersions().constFind(m_entry.id);
    return item != m_model.appcastItems().cend() &&
           installed != m_model.installedVersions().cend() && item->version > installed->version;
}

QCoro::Task<int> Runner::install()
{
    if (const auto refusal = installRefusal())
        co_return refuse(*refusal);
    m_model.install(m_entry.id);
    co_return co_await awaitJob(m_model.appcastItems().value(m_entry.id).length);
}

QCoro::Task<int> Runner::installManaged()
{
    const auto block = m_model.updateBlocks().constFind(m_entry.id);
    if (block == m_model.updateBlocks().cend())
        co_return refuse(named("%1 has no blocked update: install-managed is for an update that "
                               "the adopted copy cannot take."));
    if (m_model.states().value(m_entry.id).discriminator() == TitleState::Case::running)
        co_return refuse(named("%1 is running. Quit it first."));
    const qint64 length = block->plan.expectedLength;
    m_model.installManagedCopy(m_entry.id);
    co_return co_await awaitJob(length);
}

QCoro::Task<int> Runner::quitAndUpdate()
{
    if (!m_model.resolutions().contains(m_entry.id))
        co_return refuse(named("%1 is not installed."));
    // Nothing to install after the quit: the game keeps running.
    if (!hasNewerRelease() || m_model.updateBlocks().contains(m_entry.id))
        co_return refuse(installRefusal().value_or(named("%1 is installed and up to date.")));
    auto quitting = m_model.quitAndUpdate(m_entry.id);
    co_await std::move(quitting);
    if (m_model.notice())
        co_return refuse(*m_model.notice());
    co_return co_await awaitJob(m_model.appcastItems().value(m_entry.id).length);
}

// Follows the job the model has just asked the engine for until the engine is idle again. An
// install the engine refused leaves it idle at once, with nothing shown for the title.
QCoro::Task<int> Runner::awaitJob(qint64 expectedLength)
{
    const QString id = m_entry.id;
    ProgressView view(m_console, expectedLength);
    bool sawJob = false;
    bool cancelling = false;
    QObject scope; // the connections below end with it
    QObject::connect(&m_model, &LibraryModel::statesChanged, &scope, [&] {
        const TitleState state = m_model.states().value(id);
        sawJob = sawJob || TitleState::isInFlight(state.discriminator());
        view.show(state);
    });
    m_console.onInterrupt([&] {
        // Until its download ends a job can be dropped (before it shows, the title still rests in
        // its own state); after that it runs its checks to the end.
        const TitleState::Case now = m_model.states().value(id).discriminator();
        if (now == TitleState::Case::verifying || now == TitleState::Case::installing) {
            view.finish();
            m_console.complain(
                text("The install can no longer be cancelled: it ends once its checks are done."));
            return;
        }
        cancelling = true;
        m_engine.cancel(id);
    });
    Latch idle;
    m_engine.addDrainHandler([&idle] { idle.open(); });
    m_engine.pump(); // idle already when the request was refused: the handler runs now
    co_await idle.wait();
    m_console.onInterrupt({});
    view.finish();

    const TitleState state = m_model.states().value(id);
    if (state.discriminator() == TitleState::Case::installed && sawJob) {
        m_console.print(named("%1 is installed."));
        co_return done;
    }
    if (state.discriminator() == TitleState::Case::failed)
        co_return refuse(state.text());
    if (cancelling) {
        m_console.complain(named("Cancelled: %1 was not installed."));
        co_return cancelled;
    }
    if (LaunchService::isRunning(m_entry.bundleId))
        co_return refuse(named("%1 is running. Quit it first."));
    co_return refuse(installRefusal().value_or(
        named("%1 was not installed: the launcher did not start the job.")));
}

QCoro::Task<int> Runner::play()
{
    if (!m_model.resolutions().contains(m_entry.id))
        co_return refuse(named("%1 is not installed."));
    if (m_model.states().value(m_entry.id).discriminator() == TitleState::Case::running)
        co_return refuse(named("%1 is already running."));
    // The model refreshes a second after the game started, or words why it did not.
    Latch settled;
    QObject::connect(&m_model, &LibraryModel::noticeChanged, &settled, &Latch::open);
    QObject::connect(&m_model, &LibraryModel::refreshRunEnded, &settled, &Latch::open);
    m_model.play(m_entry.id);
    co_await settled.wait();
    if (m_model.notice())
        co_return refuse(*m_model.notice());
    if (m_model.states().value(m_entry.id).discriminator() != TitleState::Case::running)
        co_return refuse(named("%1 did not start."));
    m_console.print(named("%1 is running."));
    co_return done;
}

int Runner::copies()
{
    const InstallResolution found = resolution();
    if (m_invocation.json)
        m_console.write(
            QString::fromUtf8(Reports::copiesJson(found.copies, found.current.canonicalURL)));
    else if (found.copies.isEmpty())
        m_console.print(named("%1 has no copy on this machine."));
    else
        m_console.print(Reports::copiesLines(found.copies, found.current.canonicalURL).join(u'\n'));
    return done;
}

QCoro::Task<int> Runner::verify()
{
    const QList<InstallCopy> copies = resolution().copies;
    if (copies.isEmpty())
        co_return refuse(named("%1 is not installed."));
    QStringList paths;
    for (const InstallCopy &copy : copies)
        paths << copy.canonicalURL;
    auto checkAll = [paths] {
        QList<CopyCheck> checks;
        for (const QString &path : paths)
            checks << CopyCheck::of(path);
        return checks;
    };
    const QList<CopyCheck> checks = co_await offMain(checkAll);
    if (m_invocation.json)
        m_console.write(QString::fromUtf8(Reports::verifyJson(checks)));
    else
        m_console.print(Reports::verifyLines(checks).join(u'\n'));
    const auto failing = std::count_if(checks.cbegin(), checks.cend(),
                                       [](const auto &check) { return check.problem.has_value(); });
    if (failing > 0)
        co_return refuse(
            text("%1: %2 of %3 copies did not pass.")
                .arg(m_entry.name, QString::number(failing), QString::number(checks.size())));
    co_return done;
}

// The confirmation the window asks for, with the same buttons: --yes answers it, a person at a
// terminal may, and otherwise nothing moves.
QCoro::Task<Expected<RemovalConfirmationButton, int>>
Runner::confirm(QString question, QStringList paths, QStringList dataPaths, bool lastCopy)
{
    if (m_invocation.yes)
        co_return m_invocation.withData ? RemovalConfirmationButton::removeWithData
                                        : RemovalConfirmationButton::removeKeepingData;
    const QList<RemovalConfirmationButton> buttons = UninstallModel::confirmationButtons(lastCopy);
    QStringList listing {question};
    for (const QString &path : paths)
        listing << u"  "_qs + path;
    if (buttons.contains(RemovalConfirmationButton::removeWithData) && !dataPaths.isEmpty()) {
        listing << text("With \u201cRemove app and data\u201d, also:");
        for (const QString &path : dataPaths)
            listing << u"  "_qs + path;
    }
    listing << text(
        "Everything listed moves to the Trash \u2014 you can drag it back if you change your mind. "
        "Nothing is deleted outright.");
    if (!m_console.interactive()) {
        for (const QString &line : listing)
            m_console.complain(line);
        m_console.complain(
            text("Nothing was moved: without a terminal to ask on, confirm with --yes."));
        co_return unexpected(int(misused));
    }
    m_console.print(listing.join(u'\n'));
    QStringList choices;
    for (const RemovalConfirmationButton button : buttons) {
        switch (button) {
        case RemovalConfirmationButton::cancel:
            choices << text("[c] Cancel");
            break;
        case RemovalConfirmationButton::removeKeepingData:
            choices << text("[k] Remove app, keep my data");
            break;
        case RemovalConfirmationButton::removeWithData:
            choices << text("[d] Remove app and data");
            break;
        }
    }
    for (;;) {
        m_console.write(choices.join(u"  "_qs) + u"? "_qs);
        const std::optional<QString> answer = co_await m_console.readLine();
        const QString key = answer.value_or(QStringLiteral("c")).left(1).toLower();
        if (key == u"c") {
            m_console.complain(text("Nothing was moved."));
            co_return unexpected(int(refused));
        }
        if (key == u"k" && buttons.contains(RemovalConfirmationButton::removeKeepingData))
            co_return RemovalConfirmationButton::removeKeepingData;
        if (key == u"d" && buttons.contains(RemovalConfirmationButton::removeWithData))
            co_return RemovalConfirmationButton::removeWithData;
    }
}

QCoro::Task<int> Runner::remove()
{
    const InstallResolution found = resolution();
    if (found.copies.isEmpty())
        co_return refuse(named("%1 is not installed."));
    std::optional<InstallCopy> copy = m_model.soleCopyForRemoval(m_entry.id);
    if (m_invocation.copyPath) {
        const QString path = FileSystem::canonicalPath(*m_invocation.copyPath);
        const auto chosen =
            std::find_if(found.copies.cbegin(), found.copies.cend(),
                         [&path](const InstallCopy &each) { return each.canonicalURL == path; });
        if (chosen == found.copies.cend())
            co_return refuse(text("%1 is not a copy of %2.").arg(path, m_entry.name));
        copy = *chosen;
    } else if (!copy) {
        m_console.complain(text("%1 has %2 copies: name one with --copy PATH.")
                               .arg(m_entry.name, QString::number(found.copies.size())));
        co_return misused;
    }
    if (const auto blocker = m_model.removalBlocker(m_entry.id, *copy))
        co_return refuse(text("%1 could not be removed: %2.")
                             .arg(m_entry.name, blocker->userFacingDescription()));
    // Saved data goes only with the one copy that uses it, as the model decides.
    const bool lastCopy = m_model.dataSharingCopyCounts().value(m_entry.id) == 1;
    if (m_invocation.withData && !lastCopy)
        co_return refuse(named("The saved data of %1 may be used by another copy, so it stays: "
                               "remove the copy without --with-data."));
    const QStringList dataBefore = m_model.userDataItems(m_entry.id);
    auto confirmation =
        confirm(text("Move This Copy to the Trash?"), {copy->canonicalURL}, dataBefore, lastCopy);
    const auto answer = co_await std::move(confirmation);
    if (!answer)
        co_return answer.error();
    const bool withData = *answer == RemovalConfirmationButton::removeWithData;
    auto removal = m_model.removeCopy(m_entry.id, *copy, withData);
    co_await std::move(removal);
    if (m_model.notice())
        co_return refuse(*m_model.notice());
    m_console.print(text("Moved to the Trash: %1").arg(copy->canonicalURL));
    const QStringList dataAfter = m_model.userDataItems(m_entry.id);
    for (const QString &item : dataBefore) {
        if (withData && !dataAfter.contains(item))
            m_console.print(text("Moved to the Trash: %1").arg(item));
    }
    co_return done;
}

QCoro::Task<int> Runner::removeOthers()
{
    const QList<InstallCopy> others = UninstallModel::bulkRemovalSet(resolution());
    if (others.isEmpty())
        co_return refuse(named("%1 has no other copy to remove."));
    QStringList paths;
    QStringList blocked;
    for (const InstallCopy &copy : others) {
        paths << copy.canonicalURL;
        if (const auto blocker = m_model.removalBlocker(m_entry.id, copy))
            blocked << copy.canonicalURL + u": "_qs + blocker->userFacingDescription();
    }
    if (!blocked.isEmpty())
        co_return refuse(
            text("%1 could not be removed: %2.").arg(m_entry.name, blocked.join(u"; "_qs)));
    auto confirmation = confirm(text("Remove Every Other Copy?"), paths, {}, false);
    const auto answer = co_await std::move(confirmation);
    if (!answer)
        co_return answer.error();
    auto removal = m_model.removeNonCurrentCopies(m_entry.id, others);
    co_await std::move(removal);
    if (m_model.notice())
        co_return refuse(*m_model.notice());
    for (const QString &path : paths)
        m_console.print(text("Moved to the Trash: %1").arg(path));
    co_return done;
}

} // namespace

QCoro::Task<int> runCommand(Session &session, Console &console, Invocation invocation)
{
    Runner runner(session, console, std::move(invocation));
    co_return co_await runner.run();
}

} // namespace vantry::Cli

#include "Commands.moc"
