#include <support/BundleBuilder.h>

#include <platform/FileSystem.h>
#include <platform/PropertyList.h>
#include <signing/CodeSigning.h>

#include <QFile>

namespace vantry::test {

namespace {

QByteArray readDevelopmentFile(const char *name)
{
    const auto bytes =
        FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/") + QLatin1String(name));
    if (!bytes)
        qFatal("cannot read keys/dev/%s", name);
    return *bytes;
}

QString describe(const CodeSignature::SigningFailure &failure)
{
    return QStringLiteral("signing error %1 at '%2' (errno %3)")
        .arg(int(failure.error))
        .arg(failure.item)
        .arg(failure.systemCode);
}

std::optional<QString> write(const QString &path, const QByteArray &bytes, mode_t mode)
{
    if (auto written = FileSystem::writeFileAtomically(path, bytes, mode); !written)
        return written.error().describe();
    return std::nullopt;
}

} // namespace

QByteArray DevelopmentSigning::developerKey()
{
    return readDevelopmentFile("developer.key");
}

CodeSignature::Certificate DevelopmentSigning::certificate()
{
    const auto certificate =
        CodeSignature::Certificate::parse(readDevelopmentFile("developer.cert"));
    if (!certificate)
        qFatal("keys/dev/developer.cert is not a certificate");
    return *certificate;
}

QByteArray DevelopmentSigning::anchorKey()
{
    return readDevelopmentFile("codesign-anchor.key");
}

QByteArray DevelopmentSigning::notaryKey()
{
    return readDevelopmentFile("notary.key");
}

BundleBuilder::BundleBuilder(QString name)
    : m_name(std::move(name)), m_identifier(QStringLiteral("com.vantry.test.") + m_name.toLower()),
      m_executableName(m_name)
{
}

BundleBuilder &BundleBuilder::setBundleIdentifier(QString identifier)
{
    m_identifier = std::move(identifier);
    return *this;
}

BundleBuilder &BundleBuilder::setExecutableName(QString name)
{
    m_executableName = std::move(name);
    return *this;
}

BundleBuilder &BundleBuilder::setBundleVersion(QString version)
{
    m_bundleVersion = std::move(version);
    return *this;
}

BundleBuilder &BundleBuilder::setShortVersion(QString version)
{
    m_shortVersion = std::move(version);
    return *this;
}

BundleBuilder &BundleBuilder::setMinimumSystemVersion(QString version)
{
    m_minimumSystemVersion = std::move(version);
    return *this;
}

BundleBuilder &BundleBuilder::setExecutableSource(QString path)
{
    m_executableSource = std::move(path);
    return *this;
}

BundleBuilder &BundleBuilder::setFramework(std::optional<QString> name)
{
    m_framework = std::move(name);
    return *this;
}

BundleBuilder &BundleBuilder::setReadme(QByteArray text)
{
    m_readme = std::move(text);
    return *this;
}

BundleBuilder &BundleBuilder::setSigning(Signing signing)
{
    m_signing = signing;
    return *this;
}

BundleBuilder &BundleBuilder::setDeveloper(QByteArray privateKeyPem,
                                           CodeSignature::Certificate certificate)
{
    m_developer = std::pair(std::move(privateKeyPem), std::move(certificate));
    return *this;
}

BundleBuilder &BundleBuilder::setAnchorPublicKey(QByteArray publicKey)
{
    m_anchorPublicKey = std::move(publicKey);
    return *this;
}

BundleBuilder &BundleBuilder::setNotaryKey(QByteArray privateKeyPem)
{
    m_notaryKey = std::move(privateKeyPem);
    return *this;
}

Expected<QString, QString> BundleBuilder::build(const QString &folder) const
{
    const QString bundle = folder + u'/' + m_name + QStringLiteral(".app");
    const QString contents = bundle + QStringLiteral("/Contents");
    for (const QString &path :
         {contents + QStringLiteral("/MacOS"), contents + QStringLiteral("/Resources")}) {
        if (auto made = FileSystem::makeDirectories(path); !made)
            return unexpected(made.error().describe());
    }
    const PlistValue info(PlistValue::Dictionary {
        {QStringLiteral("CFBundleIdentifier"), m_identifier},
        {QStringLiteral("CFBundleExecutable"), m_executableName},
        {QStringLiteral("CFBundleVersion"), m_bundleVersion},
        {QStringLiteral("CFBundleShortVersionString"), m_shortVersion},
        {QStringLiteral("LSMinimumSystemVersion"), m_minimumSystemVersion},
    });
    const auto executable = FileSystem::readFile(m_executableSource);
    if (!executable)
        return unexpected(executable.error().describe());
    for (const auto &[path, bytes, mode] :
         {std::tuple {contents + QStringLiteral("/Info.plist"), info.toXml(), mode_t(0644)},
          std::tuple {contents + QStringLiteral("/MacOS/") + m_executableName, *executable,
                      mode_t(0755)},
          std::tuple {contents + QStringLiteral("/Resources/readme.txt"), m_readme,
                      mode_t(0644)}}) {
        if (auto problem = write(path, bytes, mode))
            return unexpected(*problem);
    }
    if (m_framework) {
        const QString framework =
            contents + QStringLiteral("/Frameworks/") + *m_framework + QStringLiteral(".framework");
        if (auto made = FileSystem::makeDirectories(framework + QStringLiteral("/Resources"));
            !made)
            return unexpected(made.error().describe());
        const PlistValue frameworkInfo(PlistValue::Dictionary {
            {QStringLiteral("CFBundleIdentifier"), m_identifier + u'.' + m_framework->toLower()},
            {QStringLiteral("CFBundleVersion"), m_bundleVersion},
        });
        if (auto problem = write(framework + QStringLiteral("/Resources/Info.plist"),
                                 frameworkInfo.toXml(), 0644))
            return unexpected(*problem);
        if (auto problem = write(framework + u'/' + *m_framework,
                                 "engine code of " + m_name.toUtf8() + '\n', 0755))
            return unexpected(*problem);
    }

    if (m_signing == Signing::none)
        return bundle;
    const QByteArray key = m_developer ? m_developer->first : DevelopmentSigning::developerKey();
    const CodeSignature::Certificate certificate =
        m_developer ? m_developer->second : DevelopmentSigning::certificate();
    if (auto signedBundle = CodeSignature::signBundle(bundle, key, certificate); !signedBundle)
        return unexpected(describe(signedBundle.error()));
    if (m_signing == Signing::signedOnly)
        return bundle;
    const QByteArray anchor = m_anchorPublicKey.value_or(CodeSignature::builtInAnchorKey());
    if (auto stapled = CodeSignature::notarize(
            bundle, m_notaryKey.value_or(DevelopmentSigning::notaryKey()), anchor);
        !stapled)
        return unexpected(describe(stapled.error()));
    return bundle;
}

} // namespace vantry::test
