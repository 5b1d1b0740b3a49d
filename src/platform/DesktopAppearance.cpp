#include <platform/DesktopAppearance.h>

#include <platform/SessionBus.h>

#include <gio/gio.h>

#include <memory>

namespace vantry::DesktopAppearance {

namespace {

// GIO's D-Bus client rather than QtDBus: GIO is already this layer's, QtDBus is not among the
// build's dependencies. A portal that does not answer within this time counts as absent.
constexpr std::chrono::milliseconds timeout {500};

struct VariantUnref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// Settings.Read answers (v) holding the value, which older portals wrap in one more variant.
Variant readSetting(GDBusConnection *bus, const char *key)
{
    GVariant *reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", "Read",
        g_variant_new("(ss)", "org.freedesktop.appearance", key), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, int(timeout.count()), nullptr, nullptr);
    if (reply == nullptr)
        return {};
    GVariant *value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    while (value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
        GVariant *inner = g_variant_get_variant(value);
        g_variant_unref(value);
        value = inner;
    }
    return Variant(value);
}

} // namespace

Preference read()
{
    Preference preference;
    const SessionBus::Connection connection = SessionBus::connect(timeout);
    if (!connection)
        return preference;
    GDBusConnection *bus = connection.get();
    if (const Variant scheme = readSetting(bus, "color-scheme");
        scheme && g_variant_is_of_type(scheme.get(), G_VARIANT_TYPE_UINT32)) {
        switch (g_variant_get_uint32(scheme.get())) {
        case 1:
            preference.colorScheme = ColorScheme::dark;
            break;
        case 2:
            preference.colorScheme = ColorScheme::light;
            break;
        default:
            preference.colorScheme = ColorScheme::noPreference;
            break;
        }
    }
    // Components outside [0, 1] mean the user chose no accent.
    if (const Variant accent = readSetting(bus, "accent-color");
        accent && g_variant_is_of_type(accent.get(), G_VARIANT_TYPE("(ddd)"))) {
        std::array<double, 3> rgb {};
        g_variant_get(accent.get(), "(ddd)", &rgb[0], &rgb[1], &rgb[2]);
        bool inRange = true;
        for (const double c : rgb)
            inRange = inRange && c >= 0.0 && c <= 1.0;
        if (inRange)
            preference.accent = rgb;
    }
    return preference;
}

} // namespace vantry::DesktopAppearance
