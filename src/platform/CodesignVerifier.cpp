#include <platform/CodesignVerifier.h>

#include <platform/CodeSignature.h>

namespace vantry::CodesignVerifier {

bool signatureValid(const QString &bundlePath)
{
    return CodeSignature::validate(bundlePath, CodeSignature::developerIdRequirement()).has_value();
}

} // namespace vantry::CodesignVerifier
