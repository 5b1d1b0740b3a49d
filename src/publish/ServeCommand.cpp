#include <publish/Arguments.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>

#include <vantry/BuildConfig.h>

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>

#include <httplib.h>

#include <algorithm>
#include <memory>

namespace vantry::Publish {

int serve(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments,
                                         {QStringLiteral("--port"), QStringLiteral("--address"), QStringLiteral("--cert"),
                                          QStringLiteral("--cert-key")},
                                         {}, error);
    if (!parsed || parsed->positional.size() != 1) {
        err << "vantry-publish serve: "
            << (error.isEmpty() ? QStringLiteral("usage: serve DIR [--port P] [--address A]") : error) << '\n';
        return usageError;
    }
    const QString folder = parsed->positional.first();
    if (!QFileInfo(folder).isDir()) {
        err << "vantry-publish serve: " << folder << " is not a folder\n";
        return usageError;
    }
    bool ok = true;
    const uint port = parsed->value(QStringLiteral("--port")).value_or(QStringLiteral("0")).toUInt(&ok);
    if (!ok || port > 65535) {
        err << "vantry-publish serve: --port takes a port number\n";
        return usageError;
    }
    // The development certificate's private key is public: it never serves beyond this machine.
    const QString address = parsed->value(QStringLiteral("--address")).value_or(QStringLiteral("127.0.0.1"));
    if (QHostAddress host(address); host.isNull() || !host.isLoopback()) {
        err << "vantry-publish serve: " << address << " is not a loopback address\n";
        return usageError;
    }
    const QString certificate = parsed->value(QStringLiteral("--cert")).value_or(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/tls.crt"));
    const QString key = parsed->value(QStringLiteral("--cert-key")).value_or(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/tls.key"));

    httplib::SSLServer server(certificate.toLocal8Bit().constData(), key.toLocal8Bit().constData());
    if (!server.is_valid()) {
        err << "vantry-publish serve: cannot use the certificate " << certificate << " with " << key << '\n';
        return usageError;
    }
    // Files are streamed from disk rather than read whole, so a large release image costs the
    // server no more memory than a small one.
    const QString root = QFileInfo(folder).canonicalFilePath();
    server.Get(".*", [root](const httplib::Request &request, httplib::Response &response) {
        const QString path = QFileInfo(root + QString::fromStdString(request.path)).canonicalFilePath();
        if (path.isEmpty() || !(path == root || path.startsWith(root + u'/')) || !QFileInfo(path).isFile()) {
            response.status = 404;
            response.set_content("not found", "text/plain");
            return;
        }
        auto file = std::make_shared<QFile>(path);
        if (!file->open(QIODevice::ReadOnly)) {
            response.status = 403;
            return;
        }
        response.set_content_provider(size_t(file->size()), "application/octet-stream",
                                      [file](size_t offset, size_t length, httplib::DataSink &sink) {
                                          QByteArray chunk(qsizetype(std::min<size_t>(length, 256 * 1024)), Qt::Uninitialized);
                                          if (!file->seek(qint64(offset)))
                                              return false;
                                          const qint64 read = file->read(chunk.data(), chunk.size());
                                          return read > 0 && sink.write(chunk.constData(), size_t(read));
                                      });
    });
    const std::string host = address.toStdString();
    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, int(port)) ? int(port) : -1);
    if (bound <= 0) {
        err << "vantry-publish serve: cannot listen on " << address << ':' << port << '\n';
        return usageError;
    }
    const QString endpoint = (address.contains(u':') ? u'[' + address + u']' : address) + u':' + QString::number(bound);
    out << "Serving " << folder << " at https://" << endpoint << "/ as https://" << BuildConfig::catalogHost << "/\n"
        << "Point a development launcher at it with:\n"
        << "  VANTRY_CONNECT_TO=" << endpoint << " VANTRY_EXTRA_CA=" << certificate << '\n';
    out.flush();
    server.listen_after_bind();
    return success;
}

} // namespace vantry::Publish
