#include <platform/CodesignVerifier.h>

#include <platform/CodeSignature.h>
#include <vantry/BuildConfig.h>

namespace vantry::CodesignVerifier {

bool signatureValid(const QString &bundlePath)
{
    return CodeSignature::validate(bundlePath, CodeSignature::developerIdRequirement()).has_value();
}

QString defaultSpctl() { return QString::fromUtf8(BuildConfig::spctlPath); }

QString defaultXattr() { return QString::fromUtf8(BuildConfig::xattrPath); }

bool isNotarized(const QString &bundlePath, const QString &spctl)
{
    const auto run = ProcessRunner::run(spctl, {QStringLiteral("--assess"), QStringLiteral("--type"), QStringLiteral("exec"), bundlePath},
                                        toolTimeout);
    return run && run->status == 0;
}

Expected<void, QuarantineFailure> stripQuarantine(const QString &bundlePath, const QString &xattr)
{
    const QString name = QString::fromLatin1(quarantineAttribute);
    const auto probe = ProcessRunner::run(xattr, {QStringLiteral("-p"), name, bundlePath}, toolTimeout);
    if (!probe)
        return unexpected(QuarantineFailure{probe.error(), 0});
    if (probe->status != 0)
        return {}; // nothing at the top: nothing to do
    const auto strip = ProcessRunner::run(xattr, {QStringLiteral("-rd"), name, bundlePath}, toolTimeout);
    if (!strip)
        return unexpected(QuarantineFailure{strip.error(), 0});
    if (strip->status != 0)
        return unexpected(QuarantineFailure{std::nullopt, strip->status});
    return {};
}

} // namespace vantry::CodesignVerifier
