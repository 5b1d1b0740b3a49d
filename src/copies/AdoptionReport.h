#pragma once

#include <copies/AdoptableCopy.h>

#include <platform/PropertyList.h>

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>

namespace vantry {

/// Everything gathered about one found copy before it is judged.
struct AdoptionCandidateFacts {
    QString canonicalURL;
    std::optional<PlistValue> plist; // Contents/Info.plist, when it reads as a dictionary
    bool signatureValid = false;     // the maker's Developer ID requirement is met
    bool notarized = false;          // never true without a valid signature
    bool writable = false;           // the user may write the bundle
    bool parentWritable = false;     // the user may write the folder that holds it

    friend bool operator==(const AdoptionCandidateFacts &, const AdoptionCandidateFacts &) = default;
};

/// Why a found copy is not looked at, in the order the rules try them.
enum class AdoptionExclusion {
    managedInstall,            // the managed games folder or inside it
    staging,                   // a staging area, the launcher's or one beside a target
    appTranslocation,          // under an "AppTranslocation" folder
    readOnlyOrRemovableVolume, // or a volume whose flags cannot be read
};

/// Why an assessed copy may not be adopted.
class AdoptionRefusal
{
public:
    enum class Case {
        identityMismatch,   // found: its identifier, absent when it has none
        belowHighWaterMark, // found, mark: its build and the highest build accepted
        systemFloorNotMet,  // required: the system version it needs
        signatureInvalid,
        notNotarized,
        versionUnreadable,
    };

    [[nodiscard]] static AdoptionRefusal identityMismatch(std::optional<QString> found);
    [[nodiscard]] static AdoptionRefusal belowHighWaterMark(std::int64_t found, std::int64_t mark);
    [[nodiscard]] static AdoptionRefusal systemFloorNotMet(QString required);
    [[nodiscard]] static AdoptionRefusal signatureInvalid() { return AdoptionRefusal(Case::signatureInvalid); }
    [[nodiscard]] static AdoptionRefusal notNotarized() { return AdoptionRefusal(Case::notNotarized); }
    [[nodiscard]] static AdoptionRefusal versionUnreadable() { return AdoptionRefusal(Case::versionUnreadable); }

    [[nodiscard]] Case discriminator() const { return m_case; }
    [[nodiscard]] const std::optional<QString> &foundIdentifier() const { return m_foundIdentifier; }
    [[nodiscard]] std::int64_t foundBuild() const { return m_foundBuild; }
    [[nodiscard]] std::int64_t mark() const { return m_mark; }
    [[nodiscard]] const QString &required() const { return m_required; }

    /// The refusal as a lower-case clause completing a sentence that names the game.
    [[nodiscard]] QString userFacingDescription() const;

    friend bool operator==(const AdoptionRefusal &, const AdoptionRefusal &) = default;

private:
    explicit AdoptionRefusal(Case value) : m_case(value) {}

    Case m_case;
    std::optional<QString> m_foundIdentifier;
    std::int64_t m_foundBuild = 0;
    std::int64_t m_mark = 0;
    QString m_required;
};

/// The judgement on one assessed copy.
using AdoptionVerdict = std::variant<AdoptableCopy, AdoptionRefusal>;

/// Every copy the registry holds for one title, and the one to prefer.
struct AdoptionReport {
    /// Excluded without a look, or assessed with a verdict.
    using Disposition = std::variant<AdoptionExclusion, AdoptionVerdict>;

    struct Candidate {
        QString canonicalURL;
        Disposition disposition;

        friend bool operator==(const Candidate &, const Candidate &) = default;
    };

    QString bundleId;             // the identifier that was looked up
    QList<Candidate> candidates;  // each distinct path once, by canonical path
    std::optional<AdoptableCopy> selection;

    /// The copies that passed assessment, in candidate order.
    [[nodiscard]] QList<AdoptableCopy> adoptableCopies() const;

    friend bool operator==(const AdoptionReport &, const AdoptionReport &) = default;
};

} // namespace vantry
