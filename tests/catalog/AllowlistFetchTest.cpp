#include <catalog/AllowlistFetch.h>

#include <support/CatalogFixtures.h>
#include <support/Failure.h>
#include <support/TestServer.h>

#include <QTest>
#include <QTimer>

using namespace vantry;
using test::onOrigin;
using Ending = std::optional<TransferError::Cause>; // none: the whole body arrived
using Route = test::TestServer::Route;
using Delivery = test::TestServer::Delivery;

namespace {

using Result = Expected<QByteArray, AllowlistFetch::Failure>;

auto fetchErrorOf(const Result &result) { return test::failureOf<FetchError>(result); }

Ending causeOf(const Result &result)
{
    const auto error = test::failureOf<TransferError>(result);
    return error ? Ending(error->cause) : std::nullopt;
}

} // namespace

class AllowlistFetchTest : public QObject
{
    Q_OBJECT

    test::TestServer m_server;

    Result fetch(const QString &path, const HttpTransport *transport = nullptr, qint64 limit = AllowlistFetch::iconLimit,
                 AllowlistFetch::Cancellation *cancellation = nullptr)
    {
        auto own = m_server.transport();
        AllowlistFetch fetcher(transport ? *transport : *own);
        return QCoro::waitFor(fetcher.data(QUrl(path.startsWith(u'/') ? onOrigin(path) : path), limit, cancellation));
    }

    std::optional<int> statusOf(const QString &path)
    {
        const auto error = fetchErrorOf(fetch(path));
        return error && error->kind == FetchError::Kind::httpStatus ? std::optional(error->status) : std::nullopt;
    }

private Q_SLOTS:
    void offOriginIsRefusedBeforeAnyRequest()
    {
        // The development origin would carry it to the test server; it may not leave.
        m_server.serve(u"/secret"_qs, "never sent");
        const QUrl away(u"https://example.com/secret"_qs);
        QCOMPARE(fetchErrorOf(fetch(away.toString())), std::optional(FetchError::offOrigin(away)));
        QCOMPARE(m_server.hits(u"/secret"_qs), 0);
    }

    void onlyStatus200IsABody()
    {
        const QByteArray binary("\x00\x01\xff catalog \r\n", 14);
        m_server.serve(u"/catalog.json"_qs, binary);
        QCOMPARE(*fetch(u"/catalog.json"_qs), binary);
        m_server.answer(u"/partial"_qs, 206, "body");
        QCOMPARE(statusOf(u"/partial"_qs), std::optional(206));
    }

    void redirectsStayOnTheOrigin()
    {
        m_server.serve(u"/moved/here.xml"_qs, "arrived");
        m_server.redirect(u"/relative"_qs, "/moved/here.xml");
        m_server.redirect(u"/absolute"_qs, onOrigin(u"/moved/here.xml"_qs).toUtf8(), 301);
        QCOMPARE(*fetch(u"/relative"_qs), QByteArray("arrived"));
        QCOMPARE(*fetch(u"/absolute"_qs), QByteArray("arrived"));

        // Leaving the origin ends the fetch with the redirect's own status, and nothing follows it.
        // A target is judged as written, where the scheme's case still shows.
        m_server.serve(u"/elsewhere"_qs, "never");
        m_server.redirect(u"/away"_qs, "https://example.com/elsewhere", 302);
        m_server.redirect(u"/loud"_qs, onOrigin(u"/elsewhere"_qs).replace(u"https"_qs, u"HTTPS"_qs).toUtf8(), 301);
        QCOMPARE(statusOf(u"/away"_qs), std::optional(302));
        QCOMPARE(statusOf(u"/loud"_qs), std::optional(301));
        QCOMPARE(m_server.hits(u"/elsewhere"_qs), 0);

        m_server.redirect(u"/loop"_qs, "/loop");
        QCOMPARE(causeOf(fetch(u"/loop"_qs)), Ending(TransferError::Cause::network));
        QCOMPARE(m_server.hits(u"/loop"_qs), AllowlistFetch::maximumRedirects + 1);
    }

    void transferFailures()
    {
        // A certificate the transport does not trust.
        DevelopmentOrigin untrusted = m_server.origin();
        untrusted.extraCaCertificates.clear();
        HttpTransport strict(untrusted);
        m_server.serve(u"/catalog.json"_qs, "{}");
        QCOMPARE(causeOf(fetch(u"/catalog.json"_qs, &strict)), Ending(TransferError::Cause::network));

        // A 200 whose body breaks off is no document.
        m_server.route(u"/short"_qs, Route{200, "only part", {}, Delivery::whole, 1024, 20, 5000});
        QCOMPARE(causeOf(fetch(u"/short"_qs)), Ending(TransferError::Cause::network));

        // A cancelled fetch ends at once, however much the server still has to send.
        m_server.route(u"/endless"_qs, Route{200, {}, {}, Delivery::endless});
        AllowlistFetch::Cancellation cancellation;
        QTimer::singleShot(200, &cancellation, &AllowlistFetch::Cancellation::cancel);
        QCOMPARE(causeOf(fetch(u"/endless"_qs, nullptr, AllowlistFetch::iconLimit, &cancellation)),
                 Ending(TransferError::Cause::cancelled));
    }

    void aBodyStaysWithinItsLimitAndAboveTheSpeedFloor_data()
    {
        QTest::addColumn<Route>("route");
        QTest::addColumn<Ending>("ending");
        const auto row = [](const char *tag, Delivery how, qsizetype size, Ending ending, qint64 announced = -1) {
            QTest::newRow(tag) << Route{200, QByteArray(size, 'b'), {}, how, 1, 100, announced} << ending;
        };
        row("at the limit", Delivery::whole, 64 * 1024, {});
        row("announced past the limit", Delivery::whole, 100, TransferError::Cause::tooLarge, 64 * 1024 + 1);
        row("endless", Delivery::endless, 0, TransferError::Cause::tooLarge);
        row("a trickle", Delivery::trickle, 100, TransferError::Cause::tooSlow);
    }

    void aBodyStaysWithinItsLimitAndAboveTheSpeedFloor()
    {
        QFETCH(Route, route);
        QFETCH(Ending, ending);
        m_server.route(u"/limited"_qs, route);
        auto transport = m_server.transport();
        transport->setSpeedFloor({1024, std::chrono::seconds(1)});
        const Result result = fetch(u"/limited"_qs, transport.get(), 64 * 1024);
        QCOMPARE(causeOf(result), ending);
        QCOMPARE(bool(result), !ending);
        // Memory stays flat: the fetch gave up soon after the limit, not at the end of an endless body.
        QVERIFY(m_server.sent(u"/limited"_qs) <= 4 * 64 * 1024);
    }

    void theDevelopmentOriginComesFromTheEnvironment()
    {
        m_server.serve(u"/catalog.json"_qs, "from the environment");
        qputenv("VANTRY_CONNECT_TO", "127.0.0.1:" + QByteArray::number(m_server.port()));
        qputenv("VANTRY_EXTRA_CA", QFile::encodeName(test::TestServer::certificatePath()));
        const auto transport = HttpTransport::fromEnvironment();
        qunsetenv("VANTRY_CONNECT_TO");
        qunsetenv("VANTRY_EXTRA_CA");
        QCOMPARE(*fetch(u"/catalog.json"_qs, transport->get()), QByteArray("from the environment"));

        const auto origin = DevelopmentOrigin::fromEnvironment();
        QVERIFY(origin && !*origin); // unset: the real host
        QCOMPARE(DevelopmentOrigin::from({}, u"/nowhere.pem"_qs).error(), DevelopmentOriginError::unreadableExtraCa);
    }

    void aDevelopmentOriginIsAddressAndPort_data()
    {
        QTest::addColumn<QString>("connectTo");
        QTest::addColumn<QString>("origin"); // "address port"; empty: refused
        for (const char *refused : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:+443", "not a host:443", "[]:8443"})
            QTest::newRow(refused) << QString::fromLatin1(refused) << QString();
        QTest::newRow("bracketed") << u"[::1]:65535"_qs << u"::1 65535"_qs;
        QTest::newRow("name") << u"localhost:1"_qs << u"localhost 1"_qs;
    }

    void aDevelopmentOriginIsAddressAndPort()
    {
        QFETCH(QString, connectTo);
        QFETCH(QString, origin);
        const auto parsed = DevelopmentOrigin::from(connectTo, {});
        QCOMPARE(parsed ? (*parsed)->address + u' ' + QString::number((*parsed)->port) : QString(), origin);
        QVERIFY(parsed || parsed.error() == DevelopmentOriginError::badConnectTo);
    }
};

QTEST_GUILESS_MAIN(AllowlistFetchTest)
#include "AllowlistFetchTest.moc"
