#include <support/TestServer.h>

#include <QMap>
#include <QMutex>
#include <QSslCertificate>

#include <httplib.h>

#include <chrono>
#include <thread>

namespace vantry::test {

struct TestServer::State {
    httplib::SSLServer server{VANTRY_SOURCE_DIR "/keys/dev/tls.crt", VANTRY_SOURCE_DIR "/keys/dev/tls.key"};
    std::thread thread;
    int port = 0;
    mutable QMutex mutex;
    QMap<QString, Route> routes;
    QMap<QString, int> hits;
    QMap<QString, qint64> sent;
};

QString TestServer::certificatePath() { return QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/tls.crt"); }

TestServer::TestServer() : m_state(std::make_unique<State>())
{
    State *state = m_state.get();
    state->server.Get(".*", [state](const httplib::Request &request, httplib::Response &response) {
        Route route;
        {
            QMutexLocker lock(&state->mutex);
            const QString path = QString::fromStdString(request.path);
            ++state->hits[path];
            state->sent.remove(path);
            const auto found = state->routes.constFind(path);
            if (found == state->routes.cend()) {
                response.status = 404;
                response.set_content("not found", "text/plain");
                return;
            }
            route = *found;
        }
        response.status = route.status;
        if (!route.location.isEmpty())
            response.set_header("Location", route.location.toStdString());
        auto body = std::make_shared<std::string>(route.body.toStdString());
        switch (route.delivery) {
        case Delivery::whole:
            if (route.announcedLength >= 0) {
                response.set_content_provider(size_t(route.announcedLength), "application/octet-stream",
                                              [body](size_t offset, size_t, httplib::DataSink &sink) {
                                                  // Send what there is, then drop the connection.
                                                  if (offset < body->size())
                                                      return sink.write(body->data() + offset, body->size() - offset);
                                                  return false;
                                              });
            } else {
                response.set_content(*body, "application/octet-stream");
            }
            break;
        case Delivery::withoutLength:
            response.set_chunked_content_provider("application/octet-stream", [body](size_t offset, httplib::DataSink &sink) {
                const size_t piece = std::min<size_t>(16 * 1024, body->size() - offset);
                if (piece > 0)
                    sink.write(body->data() + offset, piece);
                if (offset + piece >= body->size())
                    sink.done();
                return true;
            });
            break;
        case Delivery::trickle:
            response.set_content_provider(body->size(), "application/octet-stream",
                                          [body, route](size_t offset, size_t, httplib::DataSink &sink) {
                                              std::this_thread::sleep_for(std::chrono::milliseconds(route.trickleDelayMs));
                                              const size_t piece = std::min<size_t>(size_t(route.trickleChunk), body->size() - offset);
                                              return sink.write(body->data() + offset, piece);
                                          });
            break;
        case Delivery::endless: {
            // Until the client goes away, and in any case not past 64 MiB or 20 s.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            const QString path = QString::fromStdString(request.path);
            response.set_chunked_content_provider("application/octet-stream", [state, path, until](size_t offset, httplib::DataSink &sink) {
                static const std::string chunk(16 * 1024, 'x');
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                {
                    const QMutexLocker lock(&state->mutex);
                    state->sent[path] = qint64(offset);
                }
                return offset < (64 << 20) && std::chrono::steady_clock::now() < until && sink.is_writable()
                    && sink.write(chunk.data(), chunk.size());
            });
            break;
        }
        }
    });
    state->port = state->server.bind_to_any_port("127.0.0.1");
    state->thread = std::thread([state] { state->server.listen_after_bind(); });
    // stop() before the accept loop runs would be lost, and the destructor would wait forever.
    while (!state->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer()
{
    m_state->server.stop();
    if (m_state->thread.joinable())
        m_state->thread.join();
}

quint16 TestServer::port() const { return static_cast<quint16>(m_state->port); }

void TestServer::route(const QString &path, Route route)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->routes.insert(path, std::move(route));
}

int TestServer::hits(const QString &path) const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->hits.value(path);
}

qint64 TestServer::sent(const QString &path) const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->sent.value(path);
}

DevelopmentOrigin TestServer::origin() const
{
    return DevelopmentOrigin{QStringLiteral("127.0.0.1"), port(), QSslCertificate::fromPath(certificatePath())};
}

std::unique_ptr<HttpTransport> TestServer::transport() const { return std::make_unique<HttpTransport>(origin()); }

} // namespace vantry::test
