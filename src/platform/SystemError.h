#pragma once

#include <QString>

namespace vantry {

/// A failed call into the host: what was attempted, on which path, and the errno it gave.
struct SystemError {
    QString operation;
    QString path;
    int code = 0;

    /// For logs and the maker's tool; the launcher words user-facing failures itself.
    [[nodiscard]] QString describe() const;

    /// An error for the current errno.
    [[nodiscard]] static SystemError fromErrno(QString operation, QString path);

    friend bool operator==(const SystemError &, const SystemError &) = default;
};

} // namespace vantry
