#pragma once

#include <QString>

namespace vantry {

/// The three folders the install engine works in.
struct WorkingRoots {
    QString downloads; // one folder per title holds its release image while a job runs
    QString staging;   // the managed staging folder, beside the games on their volume
    QString install;   // the managed games folder

    /// The application's downloads and staging folders and ~/Applications/Vantry.
    [[nodiscard]] static WorkingRoots standard();

    friend bool operator==(const WorkingRoots &, const WorkingRoots &) = default;
};

} // namespace vantry
