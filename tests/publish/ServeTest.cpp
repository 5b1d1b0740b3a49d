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
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/updates/a.xml"_qs, "<rss/>"));

        QProcess tool;
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, folder});
        QVERIFY(tool.waitForStarted() && tool.waitForReadyRead(30000));
        const QString banner = QString::fromUtf8(tool.readLine());
        const auto match = QRegularExpression(u"https://127\\.0\\.0\\.1:(\\d+)/"_qs).match(banner);
        QVERIFY2(match.hasMatch(), qPrintable(banner));

        HttpTransport transport(DevelopmentOrigin{u"127.0.0.1"_qs, quint16(match.captured(1).toUInt()),
                                                  QSslCertificate::fromPath(test::TestServer::certificatePath())});
        AllowlistFetch fetch(transport);
        const auto get = [&](const QString &path) { return QCoro::waitFor(fetch.data(QUrl(test::onOrigin(path)), AllowlistFetch::appcastLimit)); };
        QCOMPARE(*get(u"/updates/a.xml"_qs), QByteArray("<rss/>"));
        QCOMPARE(std::get<FetchError>(get(u"/absent"_qs).error()), FetchError::httpStatus(404));
        tool.terminate();
        QVERIFY(tool.waitForFinished(10000));

        // The development certificate's key is public: nothing is served beyond this machine.
        tool.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {u"serve"_qs, folder, u"--address"_qs, u"0.0.0.0"_qs});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(ServeTest)
#include "ServeTest.moc"
