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
    : m_name(std::move(name)), m_identifier(QStringLiteral("com.vantry.test.") + m_name.toLower())
{
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
        {QStringLiteral("CFBundleExecutable"), m_name},
        {QStringLiteral("CFBundleVersion"), m_bundleVersion},
        {QStringLiteral("CFBundleShortVersionString"), m_shortVersion},
        {QStringLiteral("LSMinimumSystemVersion"), m_minimumSystemVersion},
    });
    const auto executable = FileSystem::readFile(m_executableSource);
    if (!executable)
        return unexpected(executable.error().describe());
    for (const auto &[path, bytes, mode] :
         {std::tuple {contents + QStringLiteral("/Info.plist"), info.toXml(), mode_t(0644)},
          std::tuple {contents + QStringLiteral("/MacOS/") + m_name, *executable, mode_t(0755)},
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
    if (auto stapled = CodeSignature::notarize(bundle, DevelopmentSigning::notaryKey()); !stapled)
        return unexpected(describe(stapled.error()));
    return bundle;
}

} // namespace vantry::test
