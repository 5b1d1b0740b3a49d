#include <copies/InstallCopy.h>

namespace vantry {

QString InstallCopy::rawValue(Origin origin)
{
    switch (origin) {
    case Origin::managed:
        return u"managed"_qs;
    case Origin::adopted:
        return u"adopted"_qs;
    }
    Q_UNREACHABLE();
}

std::optional<InstallCopy::Origin> InstallCopy::originFromRawValue(QStringView text)
{
    for (const Origin origin : {Origin::managed, Origin::adopted}) {
        if (text == rawValue(origin))
            return origin;
    }
    return std::nullopt;
}

std::optional<AdoptableCopy> InstallCopy::adoptableCopy() const
{
    if (origin == Origin::managed)
        return std::nullopt;
    return AdoptableCopy {canonicalURL, observation.version, observation.shortVersion, writable,
                          parentWritable};
}

} // namespace vantry
