#include <catalog/AllowlistFetch.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>
#include <support/TestHome.h>
#include <support/TestServer.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace vantry;

class ServeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aServedFolderIsTheCatalogHost()
    {
        test::TestHome home;
        const QString folder = home.scratch(u"site"_qs);
        QVERIFY(FileSystem::makeDirectories(folder + u"/updates"_qs));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/catalog.json"_qs, "{\"catalog\": true}"));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/updates/a.xml"_qs, "<rss/>"));

        QProcess tool;
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, folder});
        QVERIFY(tool.waitForStarted());
        QVERIFY(tool.waitForReadyRead(30000));
        const QString banner = QString::fromUtf8(tool.readLine());
        const auto match = QRegularExpression(u"https://127\\.0\\.0\\.1:(\\d+)/"_qs).match(banner);
        QVERIFY2(match.hasMatch(), qPrintable(banner));

        DevelopmentOrigin origin{u"127.0.0.1"_qs, quint16(match.captured(1).toUInt()),
                                 QSslCertificate::fromPath(test::TestServer::certificatePath())};
        HttpTransport transport(origin);
        AllowlistFetch fetch(transport);
        QCOMPARE(*QCoro::waitFor(fetch.data(QUrl(test::onOrigin(u"/catalog.json"_qs)), AllowlistFetch::catalogLimit)), QByteArray("{\"catalog\": true}"));
        QCOMPARE(*QCoro::waitFor(fetch.data(QUrl(test::onOrigin(u"/updates/a.xml"_qs)), AllowlistFetch::appcastLimit)), QByteArray("<rss/>"));
        const auto missing = QCoro::waitFor(fetch.data(QUrl(test::onOrigin(u"/absent"_qs)), AllowlistFetch::catalogLimit));
        QCOMPARE(std::get<FetchError>(missing.error()), FetchError::httpStatus(404));

        tool.terminate();
        QVERIFY(tool.waitForFinished(10000));
    }

    void servesOnlyOnLoopback()
    {
        test::TestHome home;
        QProcess tool;
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, home.home(), u"--address"_qs, u"0.0.0.0"_qs});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 2);
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, home.scratch(u"absent"_qs)});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(ServeTest)
#include "ServeTest.moc"
