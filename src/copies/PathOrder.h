#pragma once

#include <QList>
#include <QString>

#include <algorithm>

namespace vantry::copies_detail {

/// Ascending path order by Unicode scalar value of the canonically composed text. QString's own
/// operator< compares UTF-16 units, which misorders characters beyond the Basic Multilingual Plane.
[[nodiscard]] inline bool pathPrecedes(const QString &a, const QString &b)
{
    if (a == b)
        return false;
    const QList<uint> left = a.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> right = b.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
}

} // namespace vantry::copies_detail
