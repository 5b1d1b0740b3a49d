#include <ui/StatusPresentation.h>

#include <platform/HostSystem.h>

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <cmath>

namespace vantry {

using Case = TitleState::Case;
using CardAction = GameCardView::CardAction;
using Tone = ClubhouseStatePresentation::Tone;
using Kind = ClubhouseShelfGroup::Kind;

namespace {

const QString systemSymbol = QStringLiteral("desktopcomputer.trianglebadge.exclamationmark");
const QString offlineSymbol = QStringLiteral("wifi.exclamationmark");
const QString verifyingSymbol = QStringLiteral("checkmark.shield.fill");
const QString installingSymbol = QStringLiteral("shippingbox.fill");
const QString failedSymbol = QStringLiteral("exclamationmark.triangle.fill");
const QString downloadSymbol = QStringLiteral("arrow.down.circle.fill");

// The whole percentage with its fraction dropped; a fraction that is not a number shows 0. The
// tiny allowance keeps a fraction such as 0.29, which binary makes 28.999..., at 29.
int wholePercent(double fraction)
{
    const double clamped = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    return static_cast<int>(clamped * 100 + 1e-9);
}

} // namespace

std::optional<CardBadge> cardBadge(const TitleState &state)
{
    using B = Theme::BadgeKind;
    switch (state.discriminator()) {
    case Case::available:
        return CardBadge{B::get, QCoreApplication::translate("Vantry", "GET")};
    case Case::installed:
        return CardBadge{B::installed, QCoreApplication::translate("Vantry", "INSTALLED")};
    case Case::updateAvailable:
        return CardBadge{B::update, QCoreApplication::translate("Vantry", "UPDATE")};
    case Case::running:
        return CardBadge{B::running, QCoreApplication::translate("Vantry", "RUNNING")};
    case Case::failed:
        return CardBadge{B::failed, QCoreApplication::translate("Vantry", "FAILED")};
    case Case::unavailable:
        return CardBadge{B::unavailable, QCoreApplication::translate("Vantry", "UNAVAILABLE")};
    case Case::requiresNewerMacOS:
        return CardBadge{B::unavailable,
                         QCoreApplication::translate("Vantry", "REQUIRES %1 %2")
                             .arg(HostSystem::name(), state.text())};
    case Case::queued:
    case Case::downloading:
    case Case::verifying:
    case Case::installing:
        return std::nullopt;
    }
    return std::nullopt;
}

QString actionTitle(CardAction action, const TitleState &state)
{
    switch (action) {
    case CardAction::install:
        return state.discriminator() == Case::updateAvailable
                   ? QCoreApplication::translate("Vantry", "Update")
                   : QCoreApplication::translate("Vantry", "Get");
    case CardAction::cancel:
        return QCoreApplication::translate("Vantry", "Cancel");
    case CardAction::retry:
        return QCoreApplication::translate("Vantry", "Retry");
    case CardAction::play:
        return QCoreApplication::translate("Vantry", "Play");
    }
    return {};
}

// install needs a plan, cancel a queued or downloading job, retry a failed job and play an
// installed copy that is not already running; verifying and installing cannot be interrupted.
QList<CardAction> cardActions(const TitleState &state)
{
    switch (state.discriminator()) {
    case Case::available:
        return {CardAction::install};
    case Case::updateAvailable:
        return {CardAction::install, CardAction::play};
    case Case::installed:
        return {CardAction::play};
    case Case::queued:
    case Case::downloading:
        return {CardAction::cancel};
    case Case::failed:
        return {CardAction::retry};
    case Case::running:
    case Case::verifying:
    case Case::installing:
    case Case::requiresNewerMacOS:
    case Case::unavailable:
        return {};
    }
    return {};
}

ClubhouseStatePresentation statePresentation(const TitleState &state)
{
    switch (state.discriminator()) {
    case Case::available:
        return {QCoreApplication::translate("Vantry", "Available"), QStringLiteral("plus"),
                Tone::accent};
    case Case::queued:
        return {QCoreApplication::translate("Vantry", "Queued"), QStringLiteral("clock.fill"),
                Tone::neutral};
    case Case::downloading:
        return {QCoreApplication::translate("Vantry", "Downloading %1%")
                    .arg(wholePercent(state.fraction())),
                downloadSymbol, Tone::accent};
    case Case::verifying:
        return {QCoreApplication::translate("Vantry", "Verifying"), verifyingSymbol,
                Tone::neutral};
    case Case::installing:
        return {QCoreApplication::translate("Vantry", "Installing"), installingSymbol,
                Tone::neutral};
    case Case::installed:
        return {QCoreApplication::translate("Vantry", "Installed"),
                QStringLiteral("checkmark.circle.fill"), Tone::accent};
    case Case::updateAvailable:
        return {QCoreApplication::translate("Vantry", "Update available"), downloadSymbol,
                Tone::accent};
    case Case::running:
        return {QCoreApplication::translate("Vantry", "Running"), QStringLiteral("play.fill"),
                Tone::neutral};
    case Case::requiresNewerMacOS:
        return {QCoreApplication::translate("Vantry", "Needs %1 %2").arg(HostSystem::name(), state.text()),
                systemSymbol, Tone::celebration};
    case Case::unavailable:
        return {QCoreApplication::translate("Vantry", "Unavailable"), offlineSymbol,
                Tone::neutral};
    case Case::failed:
        return {QCoreApplication::translate("Vantry", "Needs attention"), failedSymbol,
                Tone::alert};
    }
    return {};
}

QColor pillFill(Tone tone, const Theme &theme, const Appearance &appearance)
{
    switch (tone) {
    case Tone::accent:
        return theme.accent.resolved(appearance);
    case Tone::neutral:
        return theme.segmentTrack.resolved(appearance);
    case Tone::celebration:
        return theme.celebration.resolved(appearance);
    case Tone::alert:
        return theme.alertColor.resolved(appearance);
    }
    return {};
}

QColor pillInk(Tone tone, const Theme &theme, const Appearance &appearance)
{
    if (tone == Tone::neutral)
        return theme.primaryText.resolved(appearance);
    // Only modern's fills follow the desktop (the user's accent may be any colour).
    return theme.id == ThemeID::modern ? Theme::readableInk(pillFill(tone, theme, appearance))
                                       : theme.selectedSegmentText.resolved(appearance);
}

std::optional<StateNote> stateNote(const TitleState &state)
{
    switch (state.discriminator()) {
    case Case::requiresNewerMacOS:
        return StateNote{
            QCoreApplication::translate("Vantry", "This game needs %1 %2 or later.")
                .arg(HostSystem::name(), state.text()),
            systemSymbol, false};
    case Case::unavailable:
        return StateNote{state.text(), offlineSymbol, false};
    case Case::verifying:
    case Case::installing:
        if (!state.step())
            return std::nullopt;
        return StateNote{stepName(*state.step()),
                         state.discriminator() == Case::verifying ? verifyingSymbol
                                                                  : installingSymbol,
                         false};
    case Case::failed:
        return StateNote{state.text(), failedSymbol, true};
    case Case::available:
    case Case::queued:
    case Case::downloading:
    case Case::installed:
    case Case::updateAvailable:
    case Case::running:
        return std::nullopt;
    }
    return std::nullopt;
}

QString rawValue(Kind kind)
{
    switch (kind) {
    case Kind::ready:
        return QStringLiteral("ready");
    case Kind::preparing:
        return QStringLiteral("preparing");
    case Kind::available:
        return QStringLiteral("available");
    case Kind::attention:
        return QStringLiteral("attention");
    }
    return {};
}

QString shelfTitle(Kind kind)
{
    switch (kind) {
    case Kind::ready:
        return QCoreApplication::translate("Vantry", "Ready to play");
    case Kind::preparing:
        return QCoreApplication::translate("Vantry", "Getting ready");
    case Kind::available:
        return QCoreApplication::translate("Vantry", "Add to your shelf");
    case Kind::attention:
        return QCoreApplication::translate("Vantry", "Needs attention");
    }
    return {};
}

Kind shelfKind(const std::optional<TitleState> &state)
{
    if (!state)
        return Kind::attention;
    switch (state->discriminator()) {
    case Case::installed:
    case Case::updateAvailable:
    case Case::running:
        return Kind::ready;
    case Case::queued:
    case Case::downloading:
    case Case::verifying:
    case Case::installing:
        return Kind::preparing;
    case Case::available:
        return Kind::available;
    case Case::requiresNewerMacOS:
    case Case::unavailable:
    case Case::failed:
        return Kind::attention;
    }
    return Kind::attention;
}

QString symbolIconName(const QString &symbol)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("plus"), QStringLiteral("list-add-symbolic")},
        {QStringLiteral("clock.fill"), QStringLiteral("appointment-soon-symbolic")},
        {downloadSymbol, QStringLiteral("go-down-symbolic")},
        {verifyingSymbol, QStringLiteral("security-high-symbolic")},
        {installingSymbol, QStringLiteral("package-x-generic-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok-symbolic")},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start-symbolic")},
        {systemSymbol, QStringLiteral("computer-fail-symbolic")},
        {offlineSymbol, QStringLiteral("network-error-symbolic")},
        {failedSymbol, QStringLiteral("dialog-warning-symbolic")},
        {QStringLiteral("sparkles.rectangle.stack.fill"),
         QStringLiteral("applications-games-symbolic")},
        {QStringLiteral("calendar.badge.clock"), QStringLiteral("x-office-calendar-symbolic")},
        {QStringLiteral("trash"), QStringLiteral("user-trash-symbolic")},
        {QStringLiteral("folder"), QStringLiteral("folder-symbolic")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("gearshape"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("xmark"), QStringLiteral("window-close-symbolic")},
    };
    return names.value(symbol, QStringLiteral("image-missing"));
}

} // namespace vantry
