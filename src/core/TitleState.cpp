#include <core/TitleState.h>

#include <algorithm>

namespace vantry {

bool TitleState::canTransition(Case from, Case to)
{
    return std::find(legalTransitions.begin(), legalTransitions.end(), Transition{from, to})
        != legalTransitions.end();
}

bool TitleState::isInFlight(Case value)
{
    return value == Case::queued || value == Case::downloading || value == Case::verifying ||
           value == Case::installing;
}

QString TitleState::rawValue(Case value)
{
    switch (value) {
    case Case::available:
        return QStringLiteral("available");
    case Case::requiresNewerMacOS:
        return QStringLiteral("requiresNewerMacOS");
    case Case::unavailable:
        return QStringLiteral("unavailable");
    case Case::queued:
        return QStringLiteral("queued");
    case Case::downloading:
        return QStringLiteral("downloading");
    case Case::verifying:
        return QStringLiteral("verifying");
    case Case::installing:
        return QStringLiteral("installing");
    case Case::installed:
        return QStringLiteral("installed");
    case Case::updateAvailable:
        return QStringLiteral("updateAvailable");
    case Case::running:
        return QStringLiteral("running");
    case Case::failed:
        return QStringLiteral("failed");
    }
    Q_UNREACHABLE();
}

std::optional<TitleState::Case> TitleState::caseFromRawValue(QStringView text)
{
    for (const auto value : allCases) {
        if (rawValue(value) == text)
            return value;
    }
    return std::nullopt;
}

TitleState TitleState::requiresNewerMacOS(QString requiredVersion)
{
    TitleState state(Case::requiresNewerMacOS);
    state.m_text = std::move(requiredVersion);
    return state;
}

TitleState TitleState::unavailable(QString reason)
{
    TitleState state(Case::unavailable);
    state.m_text = std::move(reason);
    return state;
}

TitleState TitleState::downloading(double fraction)
{
    TitleState state(Case::downloading);
    state.m_fraction = fraction;
    return state;
}

TitleState TitleState::verifying(VerificationStep step)
{
    TitleState state(Case::verifying);
    state.m_step = step;
    return state;
}

TitleState TitleState::installing(VerificationStep step)
{
    TitleState state(Case::installing);
    state.m_step = step;
    return state;
}

TitleState TitleState::failed(std::optional<VerificationStep> step, QString message)
{
    TitleState state(Case::failed);
    state.m_step = step;
    state.m_text = std::move(message);
    return state;
}

} // namespace vantry
