#include <platform/Notifications.h>
#include <platform/SessionBus.h>

#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gio/gio.h>

using namespace vantry;

namespace {
enum class Bus { none, silent, daemon, served };

// The Notify arguments the stand-in notification service got, as GVariant text.
QString received;

// The stand-in service answers Notify from GIO's worker thread, so it needs no main loop.
GDBusMessage *answerNotify(GDBusConnection *bus, GDBusMessage *call, gboolean incoming, void *)
{
    if (!incoming || qstrcmp(g_dbus_message_get_member(call), "Notify") != 0)
        return call;
    g_autofree char *arguments = g_variant_print(g_dbus_message_get_body(call), false);
    received = QString::fromUtf8(arguments);
    GDBusMessage *reply = g_dbus_message_new_method_reply(call);
    g_dbus_message_set_body(reply, g_variant_new("(u)", 7U));
    g_dbus_connection_send_message(bus, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(reply), g_object_unref(call);
    return nullptr;
}
} // namespace
Q_DECLARE_METATYPE(Bus)

class NotificationsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void notify_data()
    {
        QTest::addColumn<Bus>("bus");
        QTest::newRow("delivered") << Bus::served;
        QTest::newRow("nobody owns the name") << Bus::daemon;
        QTest::newRow("no session bus announced") << Bus::none;
        QTest::newRow("a bus that never answers") << Bus::silent;
    }
    void notify()
    {
        QFETCH(Bus, bus);
        QTemporaryDir dir;
        qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8());
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        received.clear();
        QLocalServer silent; // found through XDG_RUNTIME_DIR; its backlog accepts, nobody speaks
        QVERIFY(bus != Bus::silent || silent.listen(dir.filePath(u"bus"_qs)));
        // A private bus without service folders, so that nothing is started on demand.
        QFile config(dir.filePath(u"bus.conf"_qs));
        QVERIFY(config.open(QIODevice::WriteOnly) &&
                config.write("<busconfig><listen>unix:tmpdir=" + dir.path().toUtf8() +
                             "</listen><policy context='default'><allow send_destination='*' "
                             "eavesdrop='true'/><allow eavesdrop='true'/><allow own='*'/>"
                             "</policy></busconfig>") > 0);
        config.close();
        QProcess daemon;
        const auto stop = qScopeGuard([&daemon] { daemon.kill(), daemon.waitForFinished(); });
        if (bus >= Bus::daemon) {
            daemon.start(u"dbus-daemon"_qs, {u"--nofork"_qs, u"--print-address"_qs,
                                             u"--config-file="_qs + config.fileName()});
            if (!daemon.waitForStarted())
                QSKIP("dbus-daemon is not installed");
            QVERIFY(daemon.waitForReadyRead(5000));
            qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
        }
        const SessionBus::Connection service =
            bus == Bus::served ? SessionBus::connect(std::chrono::seconds(5)) : nullptr;
        if (service) {
            g_dbus_connection_add_filter(service.get(), answerNotify, nullptr, nullptr);
            g_variant_unref(g_dbus_connection_call_sync(
                service.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", "org.freedesktop.Notifications", 4U), nullptr,
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
        }
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(Notifications::notify(u"Vantry"_qs, u"com.vantry.launcher"_qs, u"Lumen"_qs,
                                       u"Üpdated to 2.1"_qs),
                 bus == Bus::served);
        QVERIFY2(clock.elapsed() < 1000, QByteArray::number(clock.elapsed()).constData());
        QCOMPARE(received, bus != Bus::served
                               ? QString()
                               : u"('Vantry', 0, 'com.vantry.launcher', "
                                 "'Lumen', 'Üpdated to 2.1', [], "
                                 "{'desktop-entry': <'com.vantry.launcher'>}, -1)"_qs);
    }
};

QTEST_GUILESS_MAIN(NotificationsTest)
#include "NotificationsTest.moc"
