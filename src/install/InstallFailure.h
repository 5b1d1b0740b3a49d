#pragma once

#include <catalog/DownloadService.h>
#include <copies/AdoptionReport.h>
#include <core/VerificationStep.h>

#include <QString>

#include <variant>

namespace vantry {

/// A verification step refused the release; `detail` is for the log only.
struct StepFailure {
    VerificationStep step = VerificationStep::length;
    QString detail;

    friend bool operator==(const StepFailure &, const StepFailure &) = default;
};

/// The adopted copy an update was going into changed or stopped passing adoption mid-job.
struct AdoptedCopyChanged {
    AdoptionRefusal reason;

    friend bool operator==(const AdoptedCopyChanged &, const AdoptedCopyChanged &) = default;
};

/// Anything else that went wrong: a tool that would not start, a file error. Inside a step it
/// becomes a failure of that step; `description` says what happened.
struct UnexpectedFailure {
    QString description;

    friend bool operator==(const UnexpectedFailure &, const UnexpectedFailure &) = default;
};

/// How a job can end other than with the game in place.
using JobError = std::variant<StepFailure, AdoptedCopyChanged, DownloadService::Error, UnexpectedFailure>;

} // namespace vantry
