#include <catalog/AllowlistFetch.h>

#include <support/CatalogFixtures.h>
#include <support/TestServer.h>

#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace vantry;
using test::onOrigin;
using Ending = std::optional<TransferError::Cause>; // none: the whole body arrived

Q_DECLARE_METATYPE(vantry::test::TestServer::Route)
Q_DECLARE_METATYPE(Ending)

namespace {

using Result = Expected<QByteArray, AllowlistFetch::Failure>;

std::optional<int> statusOf(const Result &result)
{
    if (result)
        return std::nullopt;
    const auto *error = std::get_if<FetchError>(&result.error());
    if (!error || error->kind != FetchError::Kind::httpStatus)
        return std::nullopt;
    return error->status;
}

const TransferError *transferErrorOf(const Result &result)
{
    return result ? nullptr : std::get_if<TransferError>(&result.error());
}

} // namespace

class AllowlistFetchTest : public QObject
{
    Q_OBJECT

    test::TestServer m_server;

    Result fetch(const QString &path, const HttpTransport *transport = nullptr, qint64 limit = AllowlistFetch::iconLimit)
    {
        auto own = m_server.transport();
        AllowlistFetch fetcher(transport ? *transport : *own);
        return QCoro::waitFor(fetcher.data(QUrl(onOrigin(path)), limit));
    }

private Q_SLOTS:
    void offOriginIsRefusedBeforeAnyRequest()
    {
        m_server.serve(u"/secret"_qs, "never sent");
        auto transport = m_server.transport();
        AllowlistFetch fetcher(*transport);
        // The development origin would carry any of these to the test server; none may leave.
        for (const QString &url : {u"https://example.com/secret"_qs, onOrigin(u"/secret"_qs).replace(u".test/"_qs, u".test:443/"_qs),
                                   onOrigin(u"/secret"_qs).replace(u"https:"_qs, u"http:"_qs)}) {
            const Result result = QCoro::waitFor(fetcher.data(QUrl(url), AllowlistFetch::iconLimit));
            QVERIFY(!result);
            const auto *error = std::get_if<FetchError>(&result.error());
            QVERIFY(error && error->kind == FetchError::Kind::offOrigin);
        }
        QCOMPARE(m_server.hits(u"/secret"_qs), 0);
    }

    void onlyStatus200IsABody()
    {
        const QByteArray binary("\x00\x01\xff catalog \r\n", 14);
        m_server.serve(u"/catalog.json"_qs, binary);
        QCOMPARE(*fetch(u"/catalog.json"_qs), binary);

        for (const int status : {204, 206, 404, 500}) {
            const QString path = u"/status/"_qs + QString::number(status);
            m_server.answer(path, status, status == 204 ? QByteArray() : QByteArray("body"));
            QCOMPARE(statusOf(fetch(path)), std::optional(status));
        }
        QCOMPARE(statusOf(fetch(u"/nothing-here"_qs)), std::optional(404));

        test::TestServer::Route unannounced;
        unannounced.body = QByteArray(100'000, 'z');
        unannounced.delivery = test::TestServer::Delivery::withoutLength;
        m_server.route(u"/chunked"_qs, unannounced);
        QCOMPARE(*fetch(u"/chunked"_qs), unannounced.body);
    }

    void redirectsStayOnTheOrigin()
    {
        m_server.serve(u"/moved/here.xml"_qs, "arrived");
        m_server.redirect(u"/relative"_qs, "/moved/here.xml");
        m_server.redirect(u"/absolute"_qs, onOrigin(u"/moved/here.xml"_qs).toUtf8(), 301);
        m_server.redirect(u"/chain"_qs, "/relative", 307);
        QCOMPARE(*fetch(u"/relative"_qs), QByteArray("arrived"));
        QCOMPARE(*fetch(u"/absolute"_qs), QByteArray("arrived"));
        QCOMPARE(*fetch(u"/chain"_qs), QByteArray("arrived"));

        // Leaving the origin ends the fetch with the redirect's own status, and nothing follows it.
        m_server.serve(u"/elsewhere"_qs, "never");
        m_server.redirect(u"/away"_qs, "https://example.com/elsewhere", 302);
        m_server.redirect(u"/loud"_qs, onOrigin(u"/elsewhere"_qs).replace(u"https"_qs, u"HTTPS"_qs).toUtf8(), 301);
        m_server.redirect(u"/port"_qs, onOrigin(u"/elsewhere"_qs).replace(u".test/"_qs, u".test:443/"_qs).toUtf8(), 308);
        QCOMPARE(statusOf(fetch(u"/away"_qs)), std::optional(302));
        QCOMPARE(statusOf(fetch(u"/loud"_qs)), std::optional(301));
        QCOMPARE(statusOf(fetch(u"/port"_qs)), std::optional(308));
        QCOMPARE(m_server.hits(u"/elsewhere"_qs), 0);

        m_server.redirect(u"/loop"_qs, "/loop");
        const Result looped = fetch(u"/loop"_qs);
        QVERIFY(transferErrorOf(looped));
        QCOMPARE(m_server.hits(u"/loop"_qs), AllowlistFetch::maximumRedirects + 1);
    }

    void transferFailuresAreKeptApart()
    {
        // Nothing listens on the port.
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            closedPort = probe.serverPort();
        }
        DevelopmentOrigin nowhere = m_server.origin();
        nowhere.port = closedPort;
        HttpTransport refused(nowhere);
        QVERIFY(transferErrorOf(fetch(u"/catalog.json"_qs, &refused)));

        // A certificate the transport does not trust.
        DevelopmentOrigin untrusted = m_server.origin();
        untrusted.extraCaCertificates.clear();
        HttpTransport strict(untrusted);
        m_server.serve(u"/catalog.json"_qs, "{}");
        const Result tls = fetch(u"/catalog.json"_qs, &strict);
        QVERIFY(transferErrorOf(tls));
        QCOMPARE(transferErrorOf(tls)->cause, TransferError::Cause::network);

        // A 200 whose body breaks off is no document.
        test::TestServer::Route shortBody;
        shortBody.body = "only part";
        shortBody.announcedLength = 5000;
        m_server.route(u"/short"_qs, shortBody);
        QVERIFY(transferErrorOf(fetch(u"/short"_qs)));
    }

    void aBodyStaysWithinItsLimitAndAboveTheSpeedFloor_data()
    {
        using Delivery = test::TestServer::Delivery;
        QTest::addColumn<test::TestServer::Route>("route");
        QTest::addColumn<Ending>("ending");
        const auto row = [](const char *tag, Delivery how, qsizetype size, Ending ending, qint64 announced = -1) {
            QTest::newRow(tag) << test::TestServer::Route{200, QByteArray(size, 'b'), {}, how, 1, 100, announced} << ending;
        };
        row("at the limit", Delivery::whole, 64 * 1024, {});
        row("at the limit, chunked", Delivery::withoutLength, 64 * 1024, {});
        row("announced past the limit", Delivery::whole, 100, TransferError::Cause::tooLarge, 64 * 1024 + 1);
        row("chunked past the limit", Delivery::withoutLength, 64 * 1024 + 1, TransferError::Cause::tooLarge);
        row("endless", Delivery::endless, 0, TransferError::Cause::tooLarge);
        row("a trickle", Delivery::trickle, 100, TransferError::Cause::tooSlow);
    }

    void aBodyStaysWithinItsLimitAndAboveTheSpeedFloor()
    {
        QFETCH(test::TestServer::Route, route);
        QFETCH(Ending, ending);
        m_server.route(u"/limited"_qs, route);
        auto transport = m_server.transport();
        transport->setSpeedFloor({1024, std::chrono::seconds(1)});
        const Result result = fetch(u"/limited"_qs, transport.get(), 64 * 1024);
        QCOMPARE(transferErrorOf(result) ? Ending(transferErrorOf(result)->cause) : std::nullopt, ending);
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
        for (const char *refused : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:+443",
                                    "127.0.0.1:44 3", "junk", "not a host:443", ":8443", "[]:8443"})
            QTest::newRow(refused) << QString::fromLatin1(refused) << QString();
        QTest::newRow("address") << u"127.0.0.1:8443"_qs << u"127.0.0.1 8443"_qs;
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

    void aCancelledFetchEnds()
    {
        test::TestServer::Route endless;
        endless.delivery = test::TestServer::Delivery::endless;
        m_server.route(u"/endless"_qs, endless);
        auto transport = m_server.transport();
        AllowlistFetch fetcher(*transport);
        AllowlistFetch::Cancellation cancellation;
        QTimer::singleShot(200, &cancellation, &AllowlistFetch::Cancellation::cancel);
        const Result result = QCoro::waitFor(fetcher.data(QUrl(onOrigin(u"/endless"_qs)), AllowlistFetch::iconLimit, &cancellation));
        QVERIFY(transferErrorOf(result));
        QCOMPARE(transferErrorOf(result)->code, QNetworkReply::OperationCanceledError);
        QCOMPARE(transferErrorOf(result)->cause, TransferError::Cause::cancelled);
    }
};

QTEST_GUILESS_MAIN(AllowlistFetchTest)
#include "AllowlistFetchTest.moc"
