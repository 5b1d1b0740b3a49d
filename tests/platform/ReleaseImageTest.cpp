#include <platform/CodesignVerifier.h>
#include <platform/DMGMounter.h>
#include <platform/FileSystem.h>
#include <signing/DiskImage.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QDir>
#include <QTest>

using namespace vantry;

// A signed, notarized game travels through a release image and comes out still trusted.
class ReleaseImageTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

private Q_SLOTS:
    void cleanup() { qunsetenv("VANTRY_HDIUTIL_MODE"); }

    void aGameSurvivesTheImage_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("mounted") << QString();
        QTest::newRow("extracted") << u"extract"_qs;
    }

    void aGameSurvivesTheImage()
    {
        QFETCH(QString, mode);
        if (!mode.isEmpty())
            qputenv("VANTRY_HDIUTIL_MODE", mode.toUtf8());
        const QString stage = m_home.scratch(u"stage-"_qs + QString::fromLatin1(QTest::currentDataTag()));
        const auto bundle = test::BundleBuilder(u"Swirlo"_qs).setBundleIdentifier(u"com.example.swirlo"_qs).build(stage);
        QVERIFY2(bundle, bundle ? "" : qPrintable(bundle.error()));
        const QString image = m_home.scratch(u"swirlo-"_qs + QString::fromLatin1(QTest::currentDataTag()) + u".dmg"_qs);
        QVERIFY(DiskImage::create(*bundle, image));
        // Its top is open to nobody else, whoever unpacks it.
        QVERIFY(
            test::runTool(u"unsquashfs"_qs, {u"-lln"_qs, image}).out.startsWith("drwxr-xr-x 0/0 "));

        const QString parent = m_home.scratch(u"tmp"_qs);
        QVERIFY(FileSystem::makeDirectories(parent));
        const auto mounted = DMGMounter::attach(image, parent);
        QVERIFY(mounted);
        QCOMPARE(QFileInfo(mounted->appPath).fileName(), u"Swirlo.app"_qs);
        QVERIFY(CodesignVerifier::signatureValid(mounted->appPath));
        QVERIFY(CodesignVerifier::isNotarized(mounted->appPath));
        DMGMounter::detach(*mounted);
        QVERIFY(QDir(parent).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }
};

QTEST_GUILESS_MAIN(ReleaseImageTest)
#include "ReleaseImageTest.moc"
