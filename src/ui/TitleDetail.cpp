#include <ui/TitleDetail.h>

#include <ui/QmlNames.h>
#include <ui/StatusPresentation.h>

#include <copies/UninstallModel.h>
#include <core/VerificationStep.h>
#include <install/InstallEngine.h>
#include <library/LibraryModel.h>

#include <QCoreApplication>
#include <QLocale>

#include <cmath>

namespace vantry {

namespace {

QString text(const char *english)
{
    return QCoreApplication::translate("Vantry", english);
}

QString duration(qint64 seconds)
{
    if (seconds < 60)
        return text("%1 s").arg(seconds);
    if (seconds < 3600)
        return text("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return text("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

QString buttonLabel(RemovalConfirmationButton button)
{
    switch (button) {
    case RemovalConfirmationButton::cancel:
        return text("Cancel");
    case RemovalConfirmationButton::removeKeepingData:
        return text("Remove app, keep my data");
    case RemovalConfirmationButton::removeWithData:
        return text("Remove app and data");
    }
    Q_UNREACHABLE();
}

QString buttonName(RemovalConfirmationButton button)
{
    switch (button) {
    case RemovalConfirmationButton::cancel:
        return u"cancel"_qs;
    case RemovalConfirmationButton::removeKeepingData:
        return u"removeKeepingData"_qs;
    case RemovalConfirmationButton::removeWithData:
        return u"removeWithData"_qs;
    }
    Q_UNREACHABLE();
}

} // namespace

TitleDetail::TitleDetail(LibraryModel &model, InstallEngine &engine, QObject *parent)
    : QObject(parent), m_model(model), m_engine(engine)
{
    // The download clocks move before the pane reads them.
    connect(&m_model, &LibraryModel::statesChanged, this, &TitleDetail::trackDownloads);
    for (auto signal : {&LibraryModel::catalogChanged, &LibraryModel::statesChanged,
                        &LibraryModel::iconsChanged, &LibraryModel::installedVersionsChanged,
                        &LibraryModel::resolutionsChanged, &LibraryModel::updateBlocksChanged,
                        &LibraryModel::appcastItemsChanged,
                        &LibraryModel::dataSharingCopyCountsChanged})
        connect(&m_model, signal, this, &TitleDetail::update);
}

void TitleDetail::setTitleId(const QString &titleId)
{
    if (titleId == m_titleId)
        return;
    m_titleId = titleId;
    if (!m_confirmation.isEmpty()) {
        m_confirmation.clear();
        Q_EMIT confirmationChanged();
    }
    update();
}

void TitleDetail::update()
{
    const QVariantMap pane = snapshot();
    if (pane == m_pane)
        return;
    m_pane = pane;
    Q_EMIT changed();
}

// Speed is measured from when the launcher first saw each download, for every title, so a
// pane opened mid-download has a figure at once.
void TitleDetail::trackDownloads()
{
    QHash<QString, DownloadClock> still;
    const auto &states = m_model.states();
    for (auto each = states.cbegin(); each != states.cend(); ++each) {
        if (each->discriminator() != TitleState::Case::downloading)
            continue;
        DownloadClock clock = m_downloads.value(each.key());
        if (!clock.started.isValid()) {
            clock.started.start();
            clock.startFraction = each->fraction();
        }
        still.insert(each.key(), clock);
    }
    m_downloads = still;
}

bool TitleDetail::hasNewerRelease() const
{
    const auto item = m_model.appcastItems().constFind(m_titleId);
    const auto installed = m_model.installedVersions().constFind(m_titleId);
    return item != m_model.appcastItems().cend() &&
           installed != m_model.installedVersions().cend() && item->version > installed->version;
}

QString TitleDetail::rateText(double fraction) const
{
    const auto clock = m_downloads.constFind(m_titleId);
    const qint64 length = m_model.updateBlocks().contains(m_titleId)
                              ? m_model.updateBlocks().value(m_titleId).plan.expectedLength
                              : m_model.appcastItems().value(m_titleId).length;
    if (clock == m_downloads.cend() || length <= 0)
        return {};
    const qint64 elapsed = clock->started.elapsed();
    const double done = (fraction - clock->startFraction) * double(length);
    if (elapsed < 500 || done <= 0)
        return {};
    const double perSecond = done * 1000.0 / double(elapsed);
    const qint64 left = std::llround((1.0 - fraction) * double(length) / perSecond);
    return text("%1/s, %2 left").arg(QLocale().formattedDataSize(qint64(perSecond), 1), duration(left));
}

QVariantList TitleDetail::copyRows(const QString &name) const
{
    QVariantList rows;
    const auto resolution = m_model.resolutions().constFind(m_titleId);
    if (resolution == m_model.resolutions().cend())
        return rows;
    for (const InstallCopy &copy : resolution->copies) {
        QString refusal;
        if (const auto blocker = m_model.removalBlocker(m_titleId, copy)) {
            switch (blocker->discriminator()) {
            case RemovalRefusal::Case::running:
                refusal = text("Quit %1 before removing a copy.").arg(name);
                break;
            case RemovalRefusal::Case::notWritable:
                refusal = text("Can't be removed: not writable by you.");
                break;
            case RemovalRefusal::Case::identityMismatch:
            case RemovalRefusal::Case::notACandidate:
                refusal = text("Can't be removed: %1.").arg(blocker->userFacingDescription());
                break;
            }
        }
        rows.append(QVariantMap{
            {u"path"_qs, copy.canonicalURL},
            {u"version"_qs, copy.observation.shortVersion},
            {u"current"_qs, copy.canonicalURL == resolution->current.canonicalURL},
            {u"adopted"_qs, copy.origin == InstallCopy::Origin::adopted},
            {u"refusal"_qs, refusal},
        });
    }
    return rows;
}

QVariantMap TitleDetail::snapshot() const
{
    const auto entry = m_model.entry(m_titleId);
    if (!entry)
        return {};
    QVariantMap pane{{u"titleId"_qs, entry->id},
                     {u"name"_qs, entry->name},
                     {u"tagline"_qs, entry->tagline},
                     {u"description"_qs, entry->description},
                     {u"version"_qs, m_model.installedVersionText(entry->id).value_or(QString())}};
    if (m_model.icons().contains(entry->id))
        pane.insert(u"icon"_qs, QmlNames::iconSource(*entry, true));

    const auto found = m_model.states().constFind(entry->id);
    if (found != m_model.states().cend()) {
        const TitleState &state = *found;
        const ClubhouseStatePresentation pill = statePresentation(state);
        pane.insert(u"pillText"_qs, pill.text);
        pane.insert(u"pillIcon"_qs, symbolIconName(pill.symbol));
        pane.insert(u"pillTone"_qs, QmlNames::name(pill.tone));
        switch (state.discriminator()) {
        case TitleState::Case::downloading:
            pane.insert(u"progress"_qs, state.fraction());
            pane.insert(u"progressText"_qs, pill.text);
            pane.insert(u"rateText"_qs, rateText(state.fraction()));
            break;
        case TitleState::Case::queued:
            pane.insert(u"progressText"_qs, pill.text);
            break;
        case TitleState::Case::verifying:
        case TitleState::Case::installing:
            if (const auto step = state.step())
                pane.insert(u"stepLabel"_qs, stepName(*step));
            break;
        case TitleState::Case::failed:
        case TitleState::Case::unavailable:
            pane.insert(u"message"_qs, state.text());
            break;
        case TitleState::Case::requiresNewerMacOS:
            if (const auto note = stateNote(state))
                pane.insert(u"message"_qs, note->text);
            break;
        case TitleState::Case::available:
        case TitleState::Case::installed:
        case TitleState::Case::updateAvailable:
        case TitleState::Case::running:
            break;
        }
        QVariantList actions = QmlNames::actionList(state);
        // A running game with a newer release: the model quits it, then updates.
        if (state.discriminator() == TitleState::Case::running && hasNewerRelease() &&
            !m_model.updateBlocks().contains(entry->id)) {
            actions.append(QVariantMap{{u"action"_qs, u"quitAndUpdate"_qs},
                                       {u"title"_qs, text("Quit & Update")}});
        }
        pane.insert(u"actions"_qs, actions);
    }

    if (const auto block = m_model.updateBlocks().constFind(entry->id);
        block != m_model.updateBlocks().cend()) {
        pane.insert(u"block"_qs, text("A newer version is available, but it cannot go into %1: %2.")
                                     .arg(block->copyURL, block->userFacingReason()));
        pane.insert(u"blockAction"_qs, text("Install a managed copy instead"));
    }

    const QVariantList copies = copyRows(entry->name);
    if (!copies.isEmpty()) {
        pane.insert(u"copies"_qs, copies);
        pane.insert(u"copiesText"_qs, copies.size() == 1
                                          ? text("1 copy installed")
                                          : QString::number(copies.size()) + text(" copies installed"));
    }
    if (copies.size() > 1 && m_model.states().value(entry->id).discriminator() ==
                                 TitleState::Case::running)
        pane.insert(u"removeOthersRefusal"_qs, text("Quit %1 before removing a copy.").arg(entry->name));
    return pane;
}

void TitleDetail::act(const QString &action)
{
    if (m_titleId.isEmpty())
        return;
    Q_EMIT actionPressed();
    if (action == u"quitAndUpdate") {
        static_cast<void>(m_model.quitAndUpdate(m_titleId)); // runs on by itself
        return;
    }
    if (action == u"installManaged") {
        m_model.installManagedCopy(m_titleId);
        return;
    }
    if (const auto chosen = QmlNames::cardAction(action))
        performCardAction(*chosen, m_titleId, m_model, m_engine);
}

void performCardAction(GameCardView::CardAction action, const QString &titleId, LibraryModel &model,
                       InstallEngine &engine)
{
    switch (action) {
    case GameCardView::CardAction::install:
        model.install(titleId);
        return;
    case GameCardView::CardAction::play:
        model.play(titleId);
        return;
    case GameCardView::CardAction::cancel:
        engine.cancel(titleId);
        return;
    case GameCardView::CardAction::retry:
        engine.retry(titleId);
        return;
    }
}

void TitleDetail::openConfirmation(QString question, QList<InstallCopy> copies, bool others)
{
    // Saved data may go only with the one copy that uses it, as the model decides.
    const bool lastCopy = !others && m_model.dataSharingCopyCounts().value(m_titleId) == 1;
    QStringList paths;
    for (const InstallCopy &copy : copies)
        paths << copy.canonicalURL;
    QVariantList buttons;
    for (const RemovalConfirmationButton button : UninstallModel::confirmationButtons(lastCopy)) {
        buttons.append(
            QVariantMap{{u"button"_qs, buttonName(button)}, {u"label"_qs, buttonLabel(button)}});
    }
    m_pending = {std::move(copies), others};
    m_confirmation = {
        {u"question"_qs, question},
        {u"paths"_qs, paths},
        {u"dataPaths"_qs, lastCopy ? m_model.userDataItems(m_titleId) : QStringList()},
        {u"buttons"_qs, buttons},
        {u"note"_qs, text("Everything listed moves to the Trash \u2014 you can drag it back if you "
                          "change your mind. Nothing is deleted outright.")},
    };
    Q_EMIT confirmationChanged();
}

void TitleDetail::requestRemoveCopy(const QString &path)
{
    const auto resolution = m_model.resolutions().constFind(m_titleId);
    if (resolution == m_model.resolutions().cend())
        return;
    for (const InstallCopy &copy : resolution->copies) {
        if (copy.canonicalURL == path && !m_model.removalBlocker(m_titleId, copy))
            openConfirmation(text("Move This Copy to the Trash?"), {copy}, false);
    }
}

void TitleDetail::requestRemoveOthers()
{
    const auto resolution = m_model.resolutions().constFind(m_titleId);
    if (resolution == m_model.resolutions().cend())
        return;
    const QList<InstallCopy> others = UninstallModel::bulkRemovalSet(*resolution);
    if (!others.isEmpty())
        openConfirmation(text("Remove Every Other Copy?"), others, true);
}

void TitleDetail::confirm(const QString &button)
{
    if (m_confirmation.isEmpty())
        return;
    const Pending pending = std::exchange(m_pending, {});
    const QStringList dataPaths = m_confirmation.value(u"dataPaths"_qs).toStringList();
    m_confirmation.clear();
    Q_EMIT confirmationChanged();
    if (button == u"removeKeepingData" || (button == u"removeWithData" && !pending.others)) {
        if (pending.others) {
            static_cast<void>(m_model.removeNonCurrentCopies(m_titleId, pending.copies));
        } else if (!pending.copies.isEmpty()) {
            const bool withData = button == u"removeWithData" && !dataPaths.isEmpty();
            static_cast<void>(m_model.removeCopy(m_titleId, pending.copies.first(), withData));
        }
    }
}

} // namespace vantry
