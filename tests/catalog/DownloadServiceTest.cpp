#include <catalog/DownloadService.h>
#include <core/OffMain.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>
#include <support/TestHome.h>
#include <support/TestServer.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QTimer>

using namespace vantry;
using test::onOrigin;
using Kind = DownloadService::Error::Kind;
using Route = test::TestServer::Route;
using Delivery = test::TestServer::Delivery;

Q_DECLARE_METATYPE(Route)

namespace {

QByteArray image(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 7) & 0xff);
    return bytes;
}

} // namespace

class DownloadServiceTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    test::TestServer m_server;
    std::unique_ptr<HttpTransport> m_transport = m_server.transport();
    DownloadService m_service{*m_transport};
    QList<double> m_progress;

    QString folder() const { return m_home.scratch(u"Downloads"_qs); }
    QStringList filesLeft() const { return QDir(folder()).entryList(QDir::Files | QDir::Hidden); }

    Expected<QString, DownloadService::Failure> download(const QString &path, qint64 length = 100'000)
    {
        m_progress.clear();
        return QCoro::waitFor(m_service.download(QUrl(onOrigin(path)), folder(), length, [this](double f) { m_progress << f; }));
    }

    static std::optional<DownloadService::Error> errorOf(const Expected<QString, DownloadService::Failure> &result)
    {
        if (result)
            return std::nullopt;
        if (const auto *error = std::get_if<DownloadService::Error>(&result.error()))
            return *error;
        return std::nullopt;
    }

private Q_SLOTS:
    void cleanup() { QDir(folder()).removeRecursively(); }

    void aWholeImageArrivesUnderItsFinalName()
    {
        const QByteArray bytes = image(3 * 1024 * 1024 + 17);
        m_server.serve(u"/releases/mazzle-1.4.dmg"_qs, bytes);
        // A stale partial file from an earlier run goes first.
        QVERIFY(FileSystem::makeDirectories(folder()));
        QVERIFY(FileSystem::writeFileAtomically(folder() + u"/mazzle-1.4.dmg.partial"_qs, "stale"));

        const auto result = download(u"/releases/mazzle-1.4.dmg"_qs, bytes.size());
        QVERIFY(result);
        QCOMPARE(*result, folder() + u"/mazzle-1.4.dmg"_qs);
        QCOMPARE(*FileSystem::readFile(*result), bytes);
        QCOMPARE(filesLeft(), QStringList{u"mazzle-1.4.dmg"_qs});

        QVERIFY(!m_progress.isEmpty());
        QCOMPARE(m_progress.last(), 1.0);
        for (qsizetype i = 0; i < m_progress.size(); ++i) {
            QVERIFY(m_progress[i] >= 0.0 && m_progress[i] <= 1.0);
            if (i > 0)
                QVERIFY(m_progress[i] >= m_progress[i - 1]);
        }
    }

    void progressWithAndWithoutALength()
    {
        test::TestServer::Route slow;
        slow.body = image(64 * 1024);
        slow.delivery = test::TestServer::Delivery::trickle;
        slow.trickleChunk = 8 * 1024;
        slow.trickleDelayMs = 10;
        m_server.route(u"/slow.dmg"_qs, slow);
        QVERIFY(download(u"/slow.dmg"_qs));
        QVERIFY2(m_progress.size() >= 4, "a trickled body reports as it arrives");
        QCOMPARE(m_progress.last(), 1.0);

        test::TestServer::Route unannounced;
        unannounced.body = image(200 * 1024);
        unannounced.delivery = test::TestServer::Delivery::withoutLength;
        m_server.route(u"/unannounced.dmg"_qs, unannounced);
        const auto result = download(u"/unannounced.dmg"_qs);
        QVERIFY(result);
        QCOMPARE(*FileSystem::readFile(*result), unannounced.body);
        QVERIFY2(m_progress.isEmpty(), "no length, no fraction");
    }

    void refusalsLeaveNothing()
    {
        // Off the origin: no request, not even the folder.
        m_server.serve(u"/x.dmg"_qs, "image");
        const auto refused = QCoro::waitFor(m_service.download(QUrl(u"https://example.com/x.dmg"_qs), folder(), 5, {}));
        QCOMPARE(errorOf(refused)->kind, Kind::offOrigin);
        QCOMPARE(errorOf(refused)->url, QUrl(u"https://example.com/x.dmg"_qs));
        QVERIFY(!QDir(folder()).exists());
        QCOMPARE(m_server.hits(u"/x.dmg"_qs), 0);

        QCOMPARE(errorOf(download(u"/missing.dmg"_qs)), std::optional(DownloadService::Error::httpStatus(404)));
        // A large error page is read away, not left to stall the connection until the time-out.
        m_server.answer(u"/large-error.dmg"_qs, 404, image(4 * 1024 * 1024));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(errorOf(download(u"/large-error.dmg"_qs)), std::optional(DownloadService::Error::httpStatus(404)));
        QVERIFY2(timer.elapsed() < 30'000, "the body of a refused answer is drained");
        QVERIFY(filesLeft().isEmpty());

        m_server.redirect(u"/away.dmg"_qs, "https://example.com/x.dmg", 302);
        QCOMPARE(errorOf(download(u"/away.dmg"_qs)), std::optional(DownloadService::Error::httpStatus(302)));
        QVERIFY(filesLeft().isEmpty());

        m_server.redirect(u"/moved.dmg"_qs, "/x.dmg", 301);
        const auto moved = download(u"/moved.dmg"_qs);
        QVERIFY(moved);
        QCOMPARE(*FileSystem::readFile(*moved), QByteArray("image"));
        QCOMPARE(QFileInfo(*moved).fileName(), u"moved.dmg"_qs);

        test::TestServer::Route broken;
        broken.body = image(10'000);
        broken.announcedLength = 50'000;
        m_server.route(u"/broken.dmg"_qs, broken);
        QCOMPARE(errorOf(download(u"/broken.dmg"_qs))->kind, Kind::failed);
        QCOMPARE(filesLeft(), QStringList{u"moved.dmg"_qs});

        // The file name never leaves the folder, however the path is spelled.
        QCOMPARE(errorOf(download(u"/"_qs))->kind, Kind::failed);
        for (const char *path : {"/a%2F..%2Fescape.dmg", "/x/..", "/x/%2E%2E", "/x/.", "/dir/", "/a%00b.dmg"}) {
            const auto name = DownloadService::fileName(QUrl(onOrigin(QString::fromLatin1(path))));
            if (name)
                QVERIFY2(!name->contains(u'/') && *name != u".."_qs && *name != u"."_qs && !name->contains(QChar(0)), path);
        }
        QCOMPARE(DownloadService::fileName(QUrl(onOrigin(u"/r/mazzle%201.4.dmg"_qs))), std::optional(u"mazzle 1.4.dmg"_qs));
    }

    void anExistingFinalFileIsNeverReplaced()
    {
        m_server.serve(u"/kept.dmg"_qs, "new image");
        QVERIFY(FileSystem::makeDirectories(folder()));
        QVERIFY(FileSystem::writeFileAtomically(folder() + u"/kept.dmg"_qs, "already here"));
        QCOMPARE(errorOf(download(u"/kept.dmg"_qs))->kind, Kind::failed);
        QCOMPARE(*FileSystem::readFile(folder() + u"/kept.dmg"_qs), QByteArray("already here"));
        QCOMPARE(filesLeft(), QStringList{u"kept.dmg"_qs});
    }

    void aDownloadThatCannotFitEndsBeforeItsFirstByte()
    {
        const QString small = m_home.scratch(u"small"_qs);
        QVERIFY(FileSystem::makeDirectories(small));
        QProcess mount;
        mount.start(u"mount"_qs, {u"-t"_qs, u"tmpfs"_qs, u"-o"_qs, u"size=256k"_qs, u"tmpfs"_qs, small});
        if (!mount.waitForFinished() || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0)
            QSKIP("no small file system can be mounted here");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_qs, {small}); });

        m_server.serve(u"/big.dmg"_qs, image(4 * 1024 * 1024));
        m_progress.clear();
        const auto result = QCoro::waitFor(
            m_service.download(QUrl(onOrigin(u"/big.dmg"_qs)), small, 4 * 1024 * 1024, [this](double f) { m_progress << f; }));
        QCOMPARE(errorOf(result),
                 std::optional(DownloadService::Error::failed(u"There is not enough disk space for the download."_qs)));
        QVERIFY(m_progress.isEmpty());
        QVERIFY(QDir(small).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

        // What fits still arrives there.
        m_server.serve(u"/small.dmg"_qs, image(100'000));
        const auto fits = QCoro::waitFor(m_service.download(QUrl(onOrigin(u"/small.dmg"_qs)), small, 100'000, {}));
        QVERIFY(fits);
        QCOMPARE(QFileInfo(*fits).size(), 100'000);
    }

    void cancelEndsTheTransferAndCleansUp()
    {
        m_service.cancel(); // nothing in flight: nothing happens
        test::TestServer::Route endless;
        endless.delivery = test::TestServer::Delivery::endless;
        m_server.route(u"/endless.dmg"_qs, endless);
        QTimer::singleShot(300, &m_service, &DownloadService::cancel);
        QCOMPARE(errorOf(download(u"/endless.dmg"_qs)), std::optional(DownloadService::Error::cancelled()));
        QVERIFY(filesLeft().isEmpty());

        // A cancel before the transfer has even started is heard too.
        m_server.serve(u"/early.dmg"_qs, image(100'000));
        auto early = m_service.download(QUrl(onOrigin(u"/early.dmg"_qs)), folder(), 100'000, {});
        m_service.cancel();
        QCOMPARE(errorOf(QCoro::waitFor(early)), std::optional(DownloadService::Error::cancelled()));
        QVERIFY(filesLeft().isEmpty());

        // A service that goes away mid-transfer ends its download as cancelled and leaves nothing.
        auto doomed = std::make_unique<DownloadService>(*m_transport);
        auto orphaned = doomed->download(QUrl(onOrigin(u"/endless.dmg"_qs)), folder(), 100'000, {});
        QTimer::singleShot(200, [&doomed] { doomed.reset(); });
        QCOMPARE(errorOf(QCoro::waitFor(orphaned)), std::optional(DownloadService::Error::cancelled()));
        QVERIFY(filesLeft().isEmpty());

        // The service is usable again afterwards.
        m_server.serve(u"/after.dmg"_qs, "fine");
        QVERIFY(download(u"/after.dmg"_qs));
    }

    void theFolderIsSetUpOffTheMainThreadOneDownloadAtATime()
    {
        // Every pool thread waits: a set-up sent there waits too, one done here would not.
        QSemaphore gate;
        auto wait = [&gate] { gate.acquire(); };
        for (int i = 0; i < offMainPool()->maxThreadCount(); ++i)
            (void)offMain(wait);
        m_server.serve(u"/first.dmg"_qs, "first");
        auto first = m_service.download(QUrl(onOrigin(u"/first.dmg"_qs)), folder(), 5, {});
        auto doomed = std::make_unique<DownloadService>(*m_transport); // gone before its set-up ends
        auto orphaned = doomed->download(QUrl(onOrigin(u"/orphan.dmg"_qs)), folder(), 5, {});
        QTest::qWait(100);
        const bool untouched = !QDir(folder()).exists();
        doomed.reset();
        gate.release(offMainPool()->maxThreadCount());
        QVERIFY(untouched);
        // A second download while one runs is refused at once; the first runs on, and its caller wakes.
        QCOMPARE(errorOf(download(u"/second.dmg"_qs)), std::optional(DownloadService::Error::busy()));
        QVERIFY(QCoro::waitFor(first));
        QCOMPARE(errorOf(QCoro::waitFor(orphaned)), std::optional(DownloadService::Error::cancelled()));
        QTRY_COMPARE(filesLeft(), QStringList{u"first.dmg"_qs});
    }

    void aBodyMayPassItsLengthOnlyByTheMargin_data()
    {
        QTest::addColumn<Route>("route");
        QTest::addColumn<QString>("outcome"); // the file's size, or why it failed
        const auto row = [](const char *tag, Delivery how, qint64 size, const char *outcome, qint64 announced = -1) {
            QTest::newRow(tag) << Route{200, image(size), {}, how, 1, 100, announced} << QString::fromLatin1(outcome);
        };
        const qint64 limit = 64 * 1024 + DownloadService::lengthMargin;
        row("one byte longer", Delivery::whole, 64 * 1024 + 1, "65537");
        row("chunked, to the margin", Delivery::withoutLength, limit, "1114112");
        row("announced past the margin", Delivery::whole, 100, "The response was larger than allowed.", limit + 1);
        row("endless", Delivery::endless, 0, "The response was larger than allowed.");
        row("a trickle", Delivery::trickle, 100, "The transfer was too slow.");
    }

    void aBodyMayPassItsLengthOnlyByTheMargin()
    {
        QFETCH(Route, route);
        QFETCH(QString, outcome);
        m_server.route(u"/sized.dmg"_qs, route);
        auto transport = m_server.transport();
        transport->setSpeedFloor({1024, std::chrono::seconds(1)});
        DownloadService service(*transport);
        const auto result = QCoro::waitFor(service.download(QUrl(onOrigin(u"/sized.dmg"_qs)), folder(), 64 * 1024, {}));
        QCOMPARE(result ? QString::number(QFileInfo(*result).size()) : errorOf(result)->description, outcome);
        QCOMPARE(filesLeft(), result ? QStringList{u"sized.dmg"_qs} : QStringList());
        QVERIFY(m_server.sent(u"/sized.dmg"_qs) <= 2 * (64 * 1024 + DownloadService::lengthMargin));
    }
};

QTEST_GUILESS_MAIN(DownloadServiceTest)
#include "DownloadServiceTest.moc"
