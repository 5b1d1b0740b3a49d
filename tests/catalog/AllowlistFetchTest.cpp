#include <catalog/AllowlistFetch.h>

#include <support/CatalogFixtures.h>
#include <support/TestServer.h>

#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace vantry;
using test::onOrigin;

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

    Result fetch(const QString &path, const HttpTransport *transport = nullptr)
    {
        auto own = m_server.transport();
        AllowlistFetch fetcher(transport ? *transport : *own);
        return QCoro::waitFor(fetcher.data(QUrl(onOrigin(path))));
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
            const Result result = QCoro::waitFor(fetcher.data(QUrl(url)));
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
        QVERIFY(!transferErrorOf(tls)->timedOut);

        // A 200 whose body breaks off is no document.
        test::TestServer::Route shortBody;
        shortBody.body = "only part";
        shortBody.announcedLength = 5000;
        m_server.route(u"/short"_qs, shortBody);
        QVERIFY(transferErrorOf(fetch(u"/short"_qs)));
    }

    void theDevelopmentOriginComesFromTheEnvironment()
    {
        m_server.serve(u"/catalog.json"_qs, "from the environment");
        qputenv("VANTRY_CONNECT_TO", "127.0.0.1:" + QByteArray::number(m_server.port()));
        qputenv("VANTRY_EXTRA_CA", QFile::encodeName(test::TestServer::certificatePath()));
        const auto transport = HttpTransport::fromEnvironment();
        qunsetenv("VANTRY_CONNECT_TO");
        qunsetenv("VANTRY_EXTRA_CA");
        QCOMPARE(*fetch(u"/catalog.json"_qs, transport.get()), QByteArray("from the environment"));

        const auto origin = DevelopmentOrigin::fromEnvironment();
        QVERIFY(!origin); // unset: the real host
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
        const Result result = QCoro::waitFor(fetcher.data(QUrl(onOrigin(u"/endless"_qs)), &cancellation));
        QVERIFY(transferErrorOf(result));
        QCOMPARE(transferErrorOf(result)->code, QNetworkReply::OperationCanceledError);
        QVERIFY(!transferErrorOf(result)->timedOut);
    }
};

QTEST_GUILESS_MAIN(AllowlistFetchTest)
#include "AllowlistFetchTest.moc"
