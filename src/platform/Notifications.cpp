#include <platform/Notifications.h>

#include <platform/SessionBus.h>
#include <vantry/BuildConfig.h>

#include <gio/gio.h>

namespace vantry::Notifications {

namespace {
// A notification service that does not answer within this time counts as absent.
constexpr std::chrono::milliseconds timeout {500};
} // namespace

bool notify(const QString &appName, const QString &iconName, const QString &summary,
            const QString &body)
{
    const SessionBus::Connection bus = SessionBus::connect(timeout);
    if (!bus)
        return false;
    // The desktop entry lets the desktop group our notifications under the launcher.
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&hints, "{sv}", "desktop-entry",
                          g_variant_new_string(BuildConfig::launcherBundleId));
    const char *const noActions[] = {nullptr};
    // replaces_id 0: a new notification; expire_timeout -1: the server's default.
    GVariant *reply = g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify",
        g_variant_new("(susss^asa{sv}i)", appName.toUtf8().constData(), 0U,
                      iconName.toUtf8().constData(), summary.toUtf8().constData(),
                      body.toUtf8().constData(), noActions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, int(timeout.count()), nullptr, nullptr);
    if (reply == nullptr)
        return false;
    g_variant_unref(reply);
    return true;
}

} // namespace vantry::Notifications
