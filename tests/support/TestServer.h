#pragma once

#include <platform/HttpTransport.h>

#include <QByteArray>
#include <QString>

#include <memory>

namespace vantry::test {

/// A real HTTPS server on a loopback port the system picks, presenting the development
/// certificate for the catalog host's name. Routes are set per path; everything else is 404.
/// Reach it through transport(): a transport whose development origin connects here.
class TestServer
{
public:
    enum class Delivery {
        whole,         // with a Content-Length
        withoutLength, // chunked, no length announced
        trickle,       // with a length, in small pieces with pauses
        endless,       // chunked, until the client goes away (or 64 MiB, or 20 s)
    };

    struct Route {
        int status = 200;
        QByteArray body;
        QByteArray location; // sent as Location when not empty
        Delivery delivery = Delivery::whole;
        int trickleChunk = 1024;
        int trickleDelayMs = 20;
        qint64 announcedLength = -1; // whole: announce this length instead of the body's
    };

    TestServer();
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    [[nodiscard]] quint16 port() const;

    void route(const QString &path, Route route);
    void serve(const QString &path, const QByteArray &body) { route(path, Route{200, body, {}}); }
    void answer(const QString &path, int status, const QByteArray &body = {}) { route(path, Route{status, body, {}}); }
    void redirect(const QString &path, const QByteArray &location, int status = 302)
    {
        route(path, Route{status, {}, location});
    }

    /// How many requests reached `path`.
    [[nodiscard]] int hits(const QString &path) const;
    /// How many body bytes an endless delivery has sent for the last request of `path`.
    [[nodiscard]] qint64 sent(const QString &path) const;

    /// A fresh transport (and so fresh connections) that reaches this server for the catalog host.
    [[nodiscard]] std::unique_ptr<HttpTransport> transport() const;
    [[nodiscard]] DevelopmentOrigin origin() const;

    /// The development certificate the server presents.
    [[nodiscard]] static QString certificatePath();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vantry::test
