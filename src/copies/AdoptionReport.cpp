#include <copies/AdoptionReport.h>

#include <platform/HostSystem.h>

#include <QCoreApplication>

#include <utility>

namespace vantry {

namespace {

QString message(const char *english) { return QCoreApplication::translate("AdoptionRefusal", english); }

} // namespace

AdoptionRefusal AdoptionRefusal::identityMismatch(std::optional<QString> found)
{
    AdoptionRefusal refusal(Case::identityMismatch);
    refusal.m_foundIdentifier = std::move(found);
    return refusal;
}

AdoptionRefusal AdoptionRefusal::belowHighWaterMark(std::int64_t found, std::int64_t mark)
{
    AdoptionRefusal refusal(Case::belowHighWaterMark);
    refusal.m_foundBuild = found;
    refusal.m_mark = mark;
    return refusal;
}

AdoptionRefusal AdoptionRefusal::systemFloorNotMet(QString required)
{
    AdoptionRefusal refusal(Case::systemFloorNotMet);
    refusal.m_required = std::move(required);
    return refusal;
}

QString AdoptionRefusal::userFacingDescription() const
{
    switch (m_case) {
    case Case::identityMismatch:
        return message("it now identifies as a different app (%1)")
            .arg(m_foundIdentifier.value_or(message("no bundle identifier")));
    case Case::belowHighWaterMark:
        return message("it is build %1, older than build %2 already accepted")
            .arg(QString::number(m_foundBuild), QString::number(m_mark));
    case Case::systemFloorNotMet:
        return message("it now requires %1 %2").arg(HostSystem::name(), m_required);
    case Case::signatureInvalid:
        return message("its Developer ID signature is no longer valid");
    case Case::notNotarized:
        return message("it is no longer notarized");
    case Case::versionUnreadable:
        return message("its version can no longer be read");
    }
    Q_UNREACHABLE();
}

QList<AdoptableCopy> AdoptionReport::adoptableCopies() const
{
    QList<AdoptableCopy> copies;
    for (const Candidate &candidate : candidates) {
        const auto *verdict = std::get_if<AdoptionVerdict>(&candidate.disposition);
        if (const auto *copy = verdict ? std::get_if<AdoptableCopy>(verdict) : nullptr)
            copies.append(*copy);
    }
    return copies;
}

} // namespace vantry
