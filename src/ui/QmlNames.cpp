#include <ui/QmlNames.h>

namespace vantry::QmlNames {

QString name(Theme::BadgeKind kind)
{
    switch (kind) {
    case Theme::BadgeKind::get:
        return QStringLiteral("get");
    case Theme::BadgeKind::installed:
        return QStringLiteral("installed");
    case Theme::BadgeKind::update:
        return QStringLiteral("update");
    case Theme::BadgeKind::running:
        return QStringLiteral("running");
    case Theme::BadgeKind::failed:
        return QStringLiteral("failed");
    case Theme::BadgeKind::unavailable:
        return QStringLiteral("unavailable");
    }
    Q_UNREACHABLE();
}

QString name(ClubhouseStatePresentation::Tone tone)
{
    using Tone = ClubhouseStatePresentation::Tone;
    switch (tone) {
    case Tone::accent:
        return QStringLiteral("accent");
    case Tone::neutral:
        return QStringLiteral("neutral");
    case Tone::celebration:
        return QStringLiteral("celebration");
    case Tone::alert:
        return QStringLiteral("alert");
    }
    Q_UNREACHABLE();
}

QString name(GameCardView::CardAction action)
{
    using GameCardView::CardAction;
    switch (action) {
    case CardAction::install:
        return QStringLiteral("install");
    case CardAction::cancel:
        return QStringLiteral("cancel");
    case CardAction::retry:
        return QStringLiteral("retry");
    case CardAction::play:
        return QStringLiteral("play");
    }
    Q_UNREACHABLE();
}

std::optional<GameCardView::CardAction> cardAction(const QString &text)
{
    using GameCardView::CardAction;
    for (const CardAction action :
         {CardAction::install, CardAction::cancel, CardAction::retry, CardAction::play}) {
        if (name(action) == text)
            return action;
    }
    return std::nullopt;
}

QVariantList actionList(const TitleState &state)
{
    QVariantList actions;
    for (const GameCardView::CardAction action : cardActions(state)) {
        actions.append(QVariantMap{{QStringLiteral("action"), name(action)},
                                   {QStringLiteral("title"), actionTitle(action, state)}});
    }
    return actions;
}

QString iconSource(const Catalog::Entry &entry, bool hasIcon)
{
    // The digest in the address makes QML load a changed icon afresh.
    if (!hasIcon)
        return {};
    return QStringLiteral("image://titles/%1/%2").arg(entry.id, entry.iconSHA256);
}

} // namespace vantry::QmlNames
