#include <library/LibraryModel.h>

#include <catalog/CatalogService.h>
#include <install/InstallEngine.h>

#include "../install/ReleaseFixture.h"
#include <support/CatalogHost.h>

#include <QCoroTask>
#include <QTest>

using namespace vantry;

class LibraryCycleTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refreshInstallPlayUpdateAndRemoveWithTheProductionSeams()
    {
        test::CatalogHost w;
        auto &home = w.home;
        auto &server = w.server;
        InstallEngine engine {w.transport.get(), &w.highWater};

        Catalog::Entry entry = test::gameEntry(u"alpha"_qs);
        const QByteArray png = *FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/") +
                                                     QDir(QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons")).entryList({u"*.png"_qs}).value(0));
        entry.iconSHA256 = QString::fromLatin1(Crypto::sha256Digest(png).toHex());
        server.serve(entry.iconURL.path(), png);
        w.publish(test::CatalogHost::document(2, {test::entryJson(entry)}));
        const auto release = [&](int build) {
            const InstallPlan plan = test::publish(server, home.scratch(u"maker"_qs), entry, build,
                                                   test::gameBundle(entry, build).setExecutableSource(QStringLiteral(VANTRY_TEST_GAME)));
            server.serve(entry.appcastURL.path(), test::appcastOf({plan}));
        };
        release(7);
        test::RunningGames games {{entry.bundleId}};

        LibraryModel model {OutwardSeams::production(w.fetch),
                            std::make_unique<CatalogService>(w.fetch, w.highWater, w.publicKey(),
                                                             CatalogService::Locations {home.scratch(u"c"_qs), home.scratch(u"i"_qs), {}}),
                            &engine, &w.highWater};
        const auto state = [&] { return model.states().value(entry.id).discriminator(); };
        QCoro::waitFor(model.refresh());
        QCOMPARE(state(), TitleState::Case::available);
        QVERIFY(!model.icons().value(entry.id).isNull());

        model.install(entry.id);
        QTRY_COMPARE_WITH_TIMEOUT(state(), TitleState::Case::installed, 60000);
        model.play(entry.id); // refreshes a second after the launch
        QTRY_COMPARE_WITH_TIMEOUT(state(), TitleState::Case::running, 20000);

        release(8);
        QCoro::waitFor(model.refresh());
        QCOMPARE(state(), TitleState::Case::running);
        QCoro::waitFor(model.quitAndUpdate(entry.id));
        QVERIFY(!LaunchService::isRunning(entry.bundleId));
        QTRY_COMPARE_WITH_TIMEOUT(state(), TitleState::Case::installed, 60000);
        QCoro::waitFor(model.refresh());
        QCOMPARE(model.installedVersions().value(entry.id).version, 8);

        // Removal with the saved data: both go to the Trash, restorable, nothing deleted.
        const QString saved = UninstallService::defaultUserLibrary().configHome + u'/' + entry.bundleId;
        QVERIFY(test::put(saved + u"/save"_qs, "level 3"));
        const InstallCopy copy = *model.soleCopyForRemoval(entry.id);
        QCoro::waitFor(model.removeCopy(entry.id, copy, true));
        QVERIFY2(!model.notice(), qPrintable(model.notice().value_or(QString())));
        QCOMPARE(state(), TitleState::Case::available);
        const QString trash = UninstallService::defaultUserLibrary().dataHome + u"/Trash/"_qs;
        const QString bundleName = QFileInfo(copy.canonicalURL).fileName();
        QVERIFY(QFileInfo::exists(trash + u"files/"_qs + bundleName + u"/Contents/Info.plist"_qs));
        QCOMPARE(*FileSystem::readFile(trash + u"files/"_qs + entry.bundleId + u"/save"_qs), QByteArray("level 3"));
        const QByteArray info = *FileSystem::readFile(trash + u"info/"_qs + bundleName + u".trashinfo"_qs);
        QVERIFY2(info.contains("Path=" + QUrl::toPercentEncoding(copy.canonicalURL, "/")) && info.contains("DeletionDate="), info);
        QVERIFY(!QFileInfo::exists(copy.canonicalURL) && !QFileInfo::exists(saved));
    }
};

QTEST_GUILESS_MAIN(LibraryCycleTest)
#include "LibraryCycleTest.moc"
