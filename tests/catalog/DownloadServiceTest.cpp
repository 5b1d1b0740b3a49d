#include <catalog/DownloadService.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>
#include <support/Failure.h>
#include <support/PoolGate.h>
#include <support/TestHome.h>
#include <support/TestServer.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace vantry;
using test::onOrigin;
using Kind = DownloadService::Error::Kind;
using Route = test::TestServer::Route;
using Delivery = test::TestServer::Delivery;
using Result = Expected<QString, DownloadService::Failure>;

namespace {

QByteArray image(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 7) & 0xff);
    return bytes;
}

auto errorOf(const Result &result) { return test::failureOf<DownloadService::Error>(result); }

std::optional<Kind> kindOf(const Result &result)
{
    const auto error = errorOf(result);
    return error ? std::optional(error->kind) : std::nullopt;
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

    Result download(const QString &path, qint64 length = 100'000, QString into = {})
    {
        m_progress.clear();
        const QUrl url(path.startsWith(u'/') ? onOrigin(path) : path);
        return QCoro::waitFor(m_service.download(url, into.isEmpty() ? folder() : into, length,
                                                 [this](double f) { m_progress << f; }));
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
        QCOMPARE(*result, folder() + u"/mazzle-1.4.dmg"_qs);
        QCOMPARE(*FileSystem::readFile(*result), bytes);
        QCOMPARE(filesLeft(), QStringList{u"mazzle-1.4.dmg"_qs});
        // Reported as the body arrives, never backwards, ending at the whole.
        QVERIFY(m_progress.size() >= 4 && m_progress.last() == 1.0);
        QVERIFY(std::is_sorted(m_progress.cbegin(), m_progress.cend()) && m_progress.first() >= 0.0);

        const Route unannounced{200, image(200 * 1024), {}, Delivery::withoutLength};
        m_server.route(u"/unannounced.dmg"_qs, unannounced);
        QCOMPARE(*FileSystem::readFile(*download(u"/unannounced.dmg"_qs, unannounced.body.size())), unannounced.body);
        QVERIFY2(m_progress.isEmpty(), "no length, no fraction");
    }

    void refusalsLeaveNothing()
    {
        // Off the origin: no request, not even the folder.
        m_server.serve(u"/x.dmg"_qs, "image");
        QCOMPARE(errorOf(download(u"https://example.com/x.dmg"_qs)), std::optional(DownloadService::Error::offOrigin(QUrl(u"https://example.com/x.dmg"_qs))));
        QVERIFY(!QDir(folder()).exists());
        QCOMPARE(m_server.hits(u"/x.dmg"_qs), 0);

        // A large error page is read away, not left to stall the connection until the time-out.
        m_server.answer(u"/large-error.dmg"_qs, 404, image(4 * 1024 * 1024));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(errorOf(download(u"/large-error.dmg"_qs)), std::optional(DownloadService::Error::httpStatus(404)));
        QVERIFY2(timer.elapsed() < 30'000, "the body of a refused answer is drained");
        QVERIFY(filesLeft().isEmpty());

        // A redirect on the origin is followed; the file keeps the name it was asked for.
        m_server.redirect(u"/moved.dmg"_qs, "/x.dmg", 301);
        QCOMPARE(*FileSystem::readFile(*download(u"/moved.dmg"_qs)), QByteArray("image"));
        QCOMPARE(filesLeft(), QStringList{u"moved.dmg"_qs});

        m_server.route(u"/broken.dmg"_qs, Route{200, image(10'000), {}, Delivery::whole, 1024, 20, 50'000});
        QCOMPARE(kindOf(download(u"/broken.dmg"_qs)), Kind::failed);
        // An existing final file is never replaced.
        m_server.serve(u"/moved.dmg"_qs, "new image");
        QCOMPARE(kindOf(download(u"/moved.dmg"_qs)), Kind::failed);
        QCOMPARE(*FileSystem::readFile(folder() + u"/moved.dmg"_qs), QByteArray("image"));
        QCOMPARE(filesLeft(), QStringList{u"moved.dmg"_qs});

        // The file name never leaves the folder, however the path is spelled.
        QCOMPARE(kindOf(download(u"/"_qs)), Kind::failed);
        for (const char *path : {"/a%2F..%2Fescape.dmg", "/x/..", "/x/%2E%2E", "/x/.", "/dir/", "/a%00b.dmg"}) {
            const auto name = DownloadService::fileName(QUrl(onOrigin(QString::fromLatin1(path))));
            QVERIFY2(!name || (!name->contains(u'/') && *name != u".."_qs && *name != u"."_qs && !name->contains(QChar(0))), path);
        }
        QCOMPARE(DownloadService::fileName(QUrl(onOrigin(u"/r/mazzle%201.4.dmg"_qs))), std::optional(u"mazzle 1.4.dmg"_qs));
    }

    void aDownloadThatCannotFitEndsBeforeItsFirstByte()
    {
        const QString small = m_home.scratch(u"small"_qs);
        QVERIFY(FileSystem::makeDirectories(small));
        if (QProcess::execute(u"mount"_qs, {u"-t"_qs, u"tmpfs"_qs, u"-o"_qs, u"size=256k"_qs, u"tmpfs"_qs, small}) != 0)
            QSKIP("no small file system can be mounted here");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_qs, {small}); });

        m_server.serve(u"/big.dmg"_qs, image(4 * 1024 * 1024));
        QCOMPARE(errorOf(download(u"/big.dmg"_qs, 4 * 1024 * 1024, small)),
                 std::optional(DownloadService::Error::failed(
                     u"There is not enough disk space for the download."_qs)));
        QVERIFY(m_progress.isEmpty());
        QVERIFY(QDir(small).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        // What fits still arrives there.
        m_server.serve(u"/small.dmg"_qs, image(100'000));
        QCOMPARE(QFileInfo(*download(u"/small.dmg"_qs, 100'000, small)).size(), 100'000);
    }

    void cancelEndsTheTransferAndCleansUp()
    {
        m_service.cancel(); // nothing in flight: nothing happens
        m_server.route(u"/endless.dmg"_qs, Route{200, {}, {}, Delivery::endless});
        QTimer::singleShot(300, &m_service, &DownloadService::cancel);
        QCOMPARE(kindOf(download(u"/endless.dmg"_qs)), Kind::cancelled);
        QVERIFY(filesLeft().isEmpty());

        // A cancel before the transfer has even started is heard too.
        m_server.serve(u"/early.dmg"_qs, image(100'000));
        auto early = m_service.download(QUrl(onOrigin(u"/early.dmg"_qs)), folder(), 100'000, {});
        m_service.cancel();
        QCOMPARE(kindOf(QCoro::waitFor(early)), Kind::cancelled);
        QVERIFY(filesLeft().isEmpty());

        // A service that goes away mid-transfer ends its download as cancelled and leaves nothing.
        auto doomed = std::make_unique<DownloadService>(*m_transport);
        auto orphaned = doomed->download(QUrl(onOrigin(u"/endless.dmg"_qs)), folder(), 100'000, {});
        QTimer::singleShot(200, [&doomed] { doomed.reset(); });
        QCOMPARE(kindOf(QCoro::waitFor(orphaned)), Kind::cancelled);
        QVERIFY(filesLeft().isEmpty());

        // The service is usable again afterwards.
        m_server.serve(u"/after.dmg"_qs, "fine");
        QVERIFY(download(u"/after.dmg"_qs));
    }

    void theFolderIsSetUpOffTheMainThreadOneDownloadAtATime()
    {
        test::PoolGate gate; // a set-up sent to the pool waits, one done here would not
        m_server.serve(u"/first.dmg"_qs, "first");
        auto first = m_service.download(QUrl(onOrigin(u"/first.dmg"_qs)), folder(), 5, {});
        auto doomed = std::make_unique<DownloadService>(*m_transport); // gone before its set-up ends
        auto orphaned = doomed->download(QUrl(onOrigin(u"/orphan.dmg"_qs)), folder(), 5, {});
        QTest::qWait(100);
        const bool untouched = !QDir(folder()).exists();
        doomed.reset();
        gate.release();
        QVERIFY(untouched);
        // A second download while one runs is refused at once; the first runs on, and its caller wakes.
        QCOMPARE(kindOf(download(u"/second.dmg"_qs)), Kind::busy);
        QVERIFY(QCoro::waitFor(first));
        QCOMPARE(kindOf(QCoro::waitFor(orphaned)), Kind::cancelled);
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
        row("chunked, to the margin", Delivery::withoutLength, limit, "1114112");
        row("announced past the margin", Delivery::whole, 100, "The response was larger than allowed.", limit + 1);
        row("endless", Delivery::endless, 0, "The response was larger than allowed.");
    }

    void aBodyMayPassItsLengthOnlyByTheMargin()
    {
        QFETCH(Route, route);
        QFETCH(QString, outcome);
        m_server.route(u"/sized.dmg"_qs, route);
        const auto result = download(u"/sized.dmg"_qs, 64 * 1024);
        QCOMPARE(result ? QString::number(QFileInfo(*result).size()) : errorOf(result)->description, outcome);
        QCOMPARE(filesLeft(), result ? QStringList{u"sized.dmg"_qs} : QStringList());
        QVERIFY(m_server.sent(u"/sized.dmg"_qs) <= 2 * (64 * 1024 + DownloadService::lengthMargin));
    }
};

QTEST_GUILESS_MAIN(DownloadServiceTest)
#include "DownloadServiceTest.moc"
