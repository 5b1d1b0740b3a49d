#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

#include <optional>

namespace vantry::HostAllowlist {

/// The single origin rule: https as written, exactly the catalog host (any letter case, no
/// sub-domain, no trailing dot), no user information, no explicit port. Path, query and fragment
/// are not examined.
///
/// URLs taken from data must be judged as text: QUrl folds the scheme to lower case, so only the
/// text shows how it was written.
[[nodiscard]] bool allows(QStringView urlText);

/// The same rule for a URL already parsed; its scheme can no longer be told apart by case.
[[nodiscard]] bool allows(const QUrl &url);

/// The text parsed strictly, when the rule allows it.
[[nodiscard]] std::optional<QUrl> allowedUrl(QStringView urlText);

/// https://<catalog host>/catalog.json
[[nodiscard]] QUrl catalogURL();
/// https://<catalog host>/catalog.json.sig
[[nodiscard]] QUrl catalogSignatureURL();

} // namespace vantry::HostAllowlist
