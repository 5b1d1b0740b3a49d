#include <platform/SessionBus.h>

#include <QByteArray>

#include <gio/gio.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace vantry::SessionBus {

namespace {

// Only a bus the environment announces: GIO would otherwise start a bus daemon of its own (X11
// autolaunch) just for us.
QByteArray announcedAddress()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return address;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat status {
    };
    if (runtime.isEmpty() || ::stat((runtime + "/bus").constData(), &status) != 0 ||
        !S_ISSOCK(status.st_mode))
        return {};
    return "unix:path=" + runtime + "/bus";
}

} // namespace

void ConnectionCloser::operator()(GDBusConnection *bus) const
{
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
}

Connection connect(std::chrono::milliseconds limit)
{
    const QByteArray address = announcedAddress();
    if (address.isEmpty())
        return {};
    // The synchronous connect has no time-out of its own: a timer thread cancels it.
    GCancellable *cancellable = g_cancellable_new();
    GDBusConnection *bus = nullptr;
    {
        std::jthread timer([cancellable, limit](const std::stop_token &finished) {
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            if (!wake.wait_for(lock, finished, limit, [] { return false; }))
                g_cancellable_cancel(cancellable);
        });
        // Not flagged as a message-bus connection: GIO's Hello for one waits 25 s and cannot be
        // cancelled, so the Hello is sent below with the limit.
        bus = g_dbus_connection_new_for_address_sync(address.constData(),
                                                     G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT,
                                                     nullptr, cancellable, nullptr);
    }
    g_object_unref(cancellable);
    Connection connection(bus);
    if (!connection)
        return {};
    GVariant *hello =
        g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "Hello", nullptr, G_VARIANT_TYPE("(s)"),
                                    G_DBUS_CALL_FLAGS_NONE, int(limit.count()), nullptr, nullptr);
    if (hello == nullptr)
        return {};
    g_variant_unref(hello);
    return connection;
}

} // namespace vantry::SessionBus
