#pragma once

#include <QString>

namespace vantry::Notifications {

/// Shows a desktop notification through the freedesktop notification service
/// (org.freedesktop.Notifications, Notify) on the session bus, via GIO's D-Bus client (no
/// QtDBus), only when the environment announces a session bus; gives up after 500 ms. Blocking:
/// call it through offMain. Returns whether the service took it.
[[nodiscard]] bool notify(const QString &appName, const QString &iconName, const QString &summary,
                          const QString &body);

} // namespace vantry::Notifications
