#pragma once

#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <core/Expected.h>

#include <QByteArray>
#include <QString>

namespace vantry::Publish {

/// The maker's words for a refused signature.
[[nodiscard]] QString describe(Ed25519Verifier::VerificationError error);

/// The maker's words for a refused catalog document.
[[nodiscard]] QString describe(const Catalog::DecodeError &error);

/// Verifies `bytes` under a throwaway key, so that a draft without a signature can be decoded:
/// decode still only ever sees bytes that passed verify.
[[nodiscard]] Expected<VerifiedCatalogData, Ed25519Verifier::VerificationError>
verifyDraft(const QByteArray &bytes);

} // namespace vantry::Publish
