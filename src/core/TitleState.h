#pragma once

#include <core/VerificationStep.h>

#include <QString>
#include <QStringView>

#include <array>
#include <optional>
#include <utility>

namespace vantry {

/// The state of one title: the single vocabulary of the install engine, the planner, the library
/// model and the presentation. A value type; equal when the case and its payload are equal.
class TitleState
{
public:
    /// The payload-free status vocabulary, in declaration order.
    enum class Case {
        available,
        requiresNewerMacOS,
        unavailable,
        queued,
        downloading,
        verifying,
        installing,
        installed,
        updateAvailable,
        running,
        failed,
    };

    static constexpr std::array<Case, 11> allCases{
        Case::available,  Case::requiresNewerMacOS, Case::unavailable, Case::queued,
        Case::downloading, Case::verifying,         Case::installing,  Case::installed,
        Case::updateAvailable, Case::running,       Case::failed,
    };

    using Transition = std::pair<Case, Case>;

    /// Every ordered pair of differing cases a job may move through; nothing else is legal.
    static constexpr std::array<Transition, 17> legalTransitions{{
        {Case::available, Case::queued},
        {Case::updateAvailable, Case::queued},
        {Case::queued, Case::downloading},
        {Case::queued, Case::available},
        {Case::queued, Case::updateAvailable},
        {Case::queued, Case::failed},
        {Case::downloading, Case::verifying},
        {Case::downloading, Case::available},
        {Case::downloading, Case::updateAvailable},
        {Case::downloading, Case::failed},
        {Case::verifying, Case::installing},
        {Case::verifying, Case::failed},
        {Case::installing, Case::installed},
        {Case::installing, Case::failed},
        {Case::failed, Case::queued},
        {Case::failed, Case::available},
        {Case::failed, Case::updateAvailable},
    }};

    /// True when the pair is in the table. A case is not a transition to itself: callers that
    /// change a state within one case compare discriminators first.
    [[nodiscard]] static bool canTransition(Case from, Case to);

    /// A job's own states, from queued until it has installed (or failed).
    [[nodiscard]] static bool isInFlight(Case value);

    [[nodiscard]] static QString rawValue(Case value);
    /// The case whose raw text is exactly `text`, if any.
    [[nodiscard]] static std::optional<Case> caseFromRawValue(QStringView text);

    TitleState() = default; // available
    [[nodiscard]] static TitleState available() { return TitleState(Case::available); }
    [[nodiscard]] static TitleState requiresNewerMacOS(QString requiredVersion);
    [[nodiscard]] static TitleState unavailable(QString reason);
    [[nodiscard]] static TitleState queued() { return TitleState(Case::queued); }
    [[nodiscard]] static TitleState downloading(double fraction);
    [[nodiscard]] static TitleState verifying(VerificationStep step);
    [[nodiscard]] static TitleState installing(VerificationStep step);
    [[nodiscard]] static TitleState installed() { return TitleState(Case::installed); }
    [[nodiscard]] static TitleState updateAvailable() { return TitleState(Case::updateAvailable); }
    [[nodiscard]] static TitleState running() { return TitleState(Case::running); }
    [[nodiscard]] static TitleState failed(std::optional<VerificationStep> step, QString message);

    [[nodiscard]] Case discriminator() const { return m_case; }

    /// The required version (requiresNewerMacOS), the reason (unavailable) or the message
    /// (failed); empty for the other cases.
    [[nodiscard]] const QString &text() const { return m_text; }
    /// The download fraction, 0 for every case but downloading.
    [[nodiscard]] double fraction() const { return m_fraction; }
    /// The running step (verifying, installing) or the failing step (failed, may be absent).
    [[nodiscard]] std::optional<VerificationStep> step() const { return m_step; }

    friend bool operator==(const TitleState &, const TitleState &) = default;

private:
    explicit TitleState(Case value) : m_case(value) {}

    // Only the payload of the current case is ever set, so member-wise equality is the
    // specified equality: same case and equal payloads.
    Case m_case = Case::available;
    QString m_text;
    double m_fraction = 0.0;
    std::optional<VerificationStep> m_step;
};

} // namespace vantry
