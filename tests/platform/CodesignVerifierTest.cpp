#include <platform/CodesignVerifier.h>
#include <platform/FileSystem.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QDir>
#include <QDirIterator>
#include <QTest>

#include <sys/xattr.h>

using namespace vantry;
using test::BundleBuilder;

namespace {

bool hasQuarantine(const QString &path)
{
    return ::lgetxattr(QFile::encodeName(path).constData(), "user.com.apple.quarantine", nullptr, 0) >= 0;
}

void quarantine(const QString &path)
{
    ::lsetxattr(QFile::encodeName(path).constData(), "user.com.apple.quarantine", "0081;6650;Vantry;", 17, 0);
}

} // namespace

class CodesignVerifierTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    // A tool that logs each call, then does what the real one does.
    QString loggingWrapper(const QString &name, const QString &real, const QString &log)
    {
        const QString path = m_home.scratch(name);
        const QByteArray script = "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(log) + "'\nexec '" + QFile::encodeName(real) + "' \"$@\"\n";
        return FileSystem::writeFileAtomically(path, script, 0755) ? path : QString();
    }

private Q_SLOTS:
    void notarizedMeansTheAssessmentAccepts()
    {
        const auto notarized = BundleBuilder(u"Swirlo"_qs).build(m_home.scratch(u"n"_qs));
        const auto signedOnly = BundleBuilder(u"Tumbit"_qs).setSigning(BundleBuilder::Signing::signedOnly).build(m_home.scratch(u"s"_qs));
        QVERIFY(notarized && signedOnly);
        QVERIFY(CodesignVerifier::signatureValid(*notarized) && CodesignVerifier::signatureValid(*signedOnly));
        QVERIFY(CodesignVerifier::isNotarized(*notarized));
        QVERIFY(!CodesignVerifier::isNotarized(*signedOnly));

        // A ticket stapled to another bundle does not carry over.
        const QString ticket = u"/Contents/_CodeSignature/notarization-ticket"_qs;
        QVERIFY(QFile::copy(*notarized + ticket, *signedOnly + ticket));
        QVERIFY(!CodesignVerifier::isNotarized(*signedOnly));

        // A tool that cannot run is a refusal, not a pass.
        QVERIFY(!CodesignVerifier::isNotarized(*notarized, m_home.scratch(u"no-spctl"_qs)));
    }

    void theQuarantineGoesFromEveryFile()
    {
        const QString log = m_home.scratch(u"xattr.log"_qs);
        const QString xattr = loggingWrapper(u"xattr"_qs, CodesignVerifier::defaultXattr(), log);
        const auto bundle = BundleBuilder(u"Mazzle"_qs).build(m_home.scratch(u"q"_qs));
        QVERIFY(bundle);

        // Without the attribute only the probe runs.
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        QCOMPARE(QString::fromUtf8(*FileSystem::readFile(log)).trimmed(), u"-p com.apple.quarantine "_qs + *bundle);

        // With it, it is gone from the bundle and everything inside.
        QStringList paths{*bundle};
        QDirIterator it(*bundle, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            paths << it.next();
        for (const QString &path : paths)
            quarantine(path);
        QVERIFY(hasQuarantine(paths.last()));
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        for (const QString &path : paths)
            QVERIFY2(!hasQuarantine(path), qPrintable(path));
        QVERIFY(QString::fromUtf8(*FileSystem::readFile(log)).contains(u"-rd com.apple.quarantine "_qs + *bundle));
        // The attribute is not part of the signature: the bundle still validates.
        QVERIFY(CodesignVerifier::signatureValid(*bundle));

        const auto missingTool = CodesignVerifier::stripQuarantine(*bundle, m_home.scratch(u"no-xattr"_qs));
        QVERIFY(!missingTool);
        QVERIFY(missingTool.error().runError.has_value());
    }
};

QTEST_GUILESS_MAIN(CodesignVerifierTest)
#include "CodesignVerifierTest.moc"
