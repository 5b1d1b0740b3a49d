#include <vantry/BuildConfig.h>

#include "ToolTestSupport.h"

#include <signing/DiskImage.h>

#include <QDir>
#include <QTest>

using namespace vantry;

// A detach removes what its own attach extracted, and nothing that only looks like it.
class HdiutilToolTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

private Q_SLOTS:
    void detachRemovesOnlyWhatItsAttachExtracted_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("marker"); // what the victim folder holds under the marker's name
        QTest::newRow("touched marker") << u"victim/"_qs << u"touched"_qs;
        QTest::newRow("marker of another folder") << u"victim"_qs << u"copied"_qs;
        QTest::newRow("link with a slash") << u"link/"_qs << QString();
    }

    void detachRemovesOnlyWhatItsAttachExtracted()
    {
        QFETCH(QString, target);
        QFETCH(QString, marker);
        qputenv("VANTRY_HDIUTIL_MODE", "extract");
        const auto hdiutil = [](const QStringList &arguments) {
            return test::runTool(QString::fromUtf8(BuildConfig::hdiutilPath), arguments);
        };
        const QString root = m_home.scratch(QString::fromLatin1(QTest::currentDataTag())) + u'/';
        const auto at = [&](const char *path) { return root + QString::fromLatin1(path); };
        QVERIFY(QDir().mkpath(at("source/Game.app")) && QDir().mkpath(at("attached")) &&
                QDir().mkpath(at("victim")));
        QVERIFY(test::put(at("source/Game.app/game"), "game") &&
                test::put(at("victim/keep"), "theirs"));
        QVERIFY(DiskImage::create(at("source/Game.app"), at("game.dmg")));
        QCOMPARE(hdiutil({u"attach"_qs, u"-mountpoint"_qs, at("attached"), at("game.dmg")}).status,
                 0);
        QVERIFY(QFile::link(at("attached"), at("link")));
        QVERIFY(marker != u"touched"_qs || test::put(at("victim/.vantry-extracted"), ""));
        QVERIFY(marker != u"copied"_qs ||
                QFile::copy(at("attached/.vantry-extracted"), at("victim/.vantry-extracted")));

        QCOMPARE(hdiutil({u"detach"_qs, u"-force"_qs, root + target}).status, 1);
        QVERIFY(QFileInfo::exists(at("victim/keep")) &&
                QFileInfo::exists(at("attached/Game.app/game")));
        // The folder itself, however spelled, is detached.
        QCOMPARE(hdiutil({u"detach"_qs, u"-force"_qs, at("attached/")}).status, 0);
        QVERIFY(
            QDir(at("attached")).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }
};

QTEST_GUILESS_MAIN(HdiutilToolTest)
#include "HdiutilToolTest.moc"
