#include <platform/CodesignVerifier.h>
#include <platform/FileSystem.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QDirIterator>
#include <QTest>

#include <sys/xattr.h>

using namespace vantry;
using test::BundleBuilder;

class CodesignVerifierTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

private Q_SLOTS:
    void notarizedMeansTheAssessmentAccepts()
    {
        const auto notarized = BundleBuilder(u"Swirlo"_qs).build(m_home.scratch(u"n"_qs));
        const auto signedOnly = BundleBuilder(u"Tumbit"_qs)
                                    .setSigning(BundleBuilder::Signing::signedOnly)
                                    .build(m_home.scratch(u"s"_qs));
        QVERIFY(CodesignVerifier::signatureValid(*notarized));
        QVERIFY(CodesignVerifier::signatureValid(*signedOnly));
        QVERIFY(CodesignVerifier::isNotarized(*notarized));
        QVERIFY(!CodesignVerifier::isNotarized(*signedOnly));
        // A tool that cannot run is a refusal, not a pass.
        QVERIFY(!CodesignVerifier::isNotarized(*notarized, m_home.scratch(u"no-spctl"_qs)));
    }

    void theQuarantineGoesFromEveryFile()
    {
        // The build's xattr, behind a wrapper that logs each call.
        const QString log = m_home.scratch(u"xattr.log"_qs);
        const QString xattr = m_home.scratch(u"xattr"_qs);
        QVERIFY(FileSystem::writeFileAtomically(
            xattr,
            "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(log) + "'\nexec '" +
                QFile::encodeName(CodesignVerifier::defaultXattr()) + "' \"$@\"\n",
            0755));
        const auto bundle = BundleBuilder(u"Mazzle"_qs).build(m_home.scratch(u"q"_qs));
        const auto logged = [&] { return QString::fromUtf8(*FileSystem::readFile(log)); };

        // Without the attribute only the probe runs.
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        QCOMPARE(logged(), u"-p com.apple.quarantine "_qs + *bundle + u'\n');

        // With it, it is gone from the bundle and everything inside.
        QStringList paths {*bundle};
        for (QDirIterator it(*bundle, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            paths << it.next();
        const auto quarantined = [](const QString &path) {
            return ::lgetxattr(QFile::encodeName(path).constData(), "user.com.apple.quarantine",
                               nullptr, 0) >= 0;
        };
        for (const QString &path : paths)
            QCOMPARE(::lsetxattr(QFile::encodeName(path).constData(), "user.com.apple.quarantine",
                                 "0081;6650;Vantry;", 17, 0),
                     0);
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        QVERIFY(std::none_of(paths.begin(), paths.end(), quarantined));
        QVERIFY(logged().contains(u"-rd com.apple.quarantine "_qs + *bundle));
        // The attribute is not part of the signature: the bundle still validates.
        QVERIFY(CodesignVerifier::signatureValid(*bundle));
        const auto missingTool =
            CodesignVerifier::stripQuarantine(*bundle, m_home.scratch(u"no-xattr"_qs));
        QVERIFY(!missingTool && missingTool.error().runError);
    }
};

QTEST_GUILESS_MAIN(CodesignVerifierTest)
#include "CodesignVerifierTest.moc"
