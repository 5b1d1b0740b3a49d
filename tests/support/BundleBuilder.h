#pragma once

#include <core/Expected.h>
#include <platform/CodeSignature.h>
#include <signing/CodeSigning.h>
#include <signing/PrivateKeys.h>

#include <QByteArray>
#include <QString>

#include <optional>

namespace vantry::test {

/// The development code-signing material of keys/dev: the developer's key and certificate (team
/// ZQ8WN2KD4T, issued by the development anchor), the anchor's and the notary's private keys.
namespace DevelopmentSigning {
[[nodiscard]] QByteArray developerKey();
[[nodiscard]] CodeSignature::Certificate certificate();
[[nodiscard]] QByteArray anchorKey();
[[nodiscard]] QByteArray notaryKey();
} // namespace DevelopmentSigning

/// Builds a small game bundle `<folder>/<Name>.app` at test time:
///
///     Contents/Info.plist                      identifier, executable, versions, minimum system
///     Contents/MacOS/<Name>                    a copy of /bin/sleep unless set, mode 0755
///     Contents/Resources/readme.txt
///     Contents/Frameworks/<X>.framework/       unless set to none:
///         Resources/Info.plist, <X> (mode 0755)
///
/// then signs it (nested framework first) and notarizes it with the same library calls the
/// maker's tool makes (signBundle, notarize), with the development keys (the developer's unless
/// set); tests make another developer's key and certificate with the same library, which this
/// header brings.
class BundleBuilder
{
public:
    enum class Signing { none, signedOnly, notarized };

    explicit BundleBuilder(QString name = QStringLiteral("Game"));

    BundleBuilder &setBundleIdentifier(QString id) { return set(m_identifier, std::move(id)); }
    BundleBuilder &setBundleVersion(QString v) { return set(m_bundleVersion, std::move(v)); }
    BundleBuilder &setShortVersion(QString v) { return set(m_shortVersion, std::move(v)); }
    BundleBuilder &setMinimumSystemVersion(QString v)
    {
        return set(m_minimumSystemVersion, std::move(v));
    }
    /// The nested framework's name without ".framework"; nothing for no framework.
    BundleBuilder &setFramework(std::optional<QString> v) { return set(m_framework, std::move(v)); }
    /// A text put into Contents/Resources/readme.txt, so that two bundles can differ.
    BundleBuilder &setReadme(QByteArray text) { return set(m_readme, std::move(text)); }
    /// The program copied into Contents/MacOS (default /bin/sleep).
    BundleBuilder &setExecutableSource(QString path) { return set(m_executableSource, std::move(path)); }
    BundleBuilder &setSigning(Signing signing) { return set(m_signing, signing); }
    BundleBuilder &setDeveloper(QByteArray privateKeyPem, CodeSignature::Certificate certificate)
    {
        return set(m_developer, std::pair(std::move(privateKeyPem), std::move(certificate)));
    }

    /// The bundle's path, or what went wrong.
    [[nodiscard]] Expected<QString, QString> build(const QString &folder) const;

private:
    template <class T, class V> BundleBuilder &set(T &member, V value)
    {
        member = std::move(value);
        return *this;
    }

    QString m_name;
    QString m_identifier;
    QString m_bundleVersion = QStringLiteral("1");
    QString m_shortVersion = QStringLiteral("1.0");
    QString m_minimumSystemVersion = QStringLiteral("2.31");
    std::optional<QString> m_framework = QStringLiteral("Engine");
    QByteArray m_readme = "A game for tests.\n";
    QString m_executableSource = QStringLiteral("/bin/sleep");
    Signing m_signing = Signing::notarized;
    std::optional<std::pair<QByteArray, CodeSignature::Certificate>> m_developer;
};

} // namespace vantry::test
