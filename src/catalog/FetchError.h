#pragma once

#include <QUrl>

namespace vantry {

/// Why a restricted fetch refused or failed, apart from transfer errors.
struct FetchError {
    enum class Kind {
        offOrigin,  // the URL is not allowed; no request was made
        httpStatus, // not an HTTP response (-1) or a status other than 200
    };

    Kind kind = Kind::httpStatus;
    QUrl url;        // offOrigin: the refused URL
    int status = -1; // httpStatus: the status, or -1

    [[nodiscard]] static FetchError offOrigin(QUrl url) { return {Kind::offOrigin, std::move(url), -1}; }
    [[nodiscard]] static FetchError httpStatus(int status) { return {Kind::httpStatus, {}, status}; }

    friend bool operator==(const FetchError &, const FetchError &) = default;
};

} // namespace vantry
