#pragma once

#include <chrono>
#include <memory>

// GIO's own declaration, so that this header does not need GIO's include folders.
typedef struct _GDBusConnection GDBusConnection; // NOLINT(modernize-use-using)

namespace vantry::SessionBus {

struct ConnectionCloser {
    void operator()(GDBusConnection *bus) const;
};
using Connection = std::unique_ptr<GDBusConnection, ConnectionCloser>;

/// Connects to the session bus the environment announces (DBUS_SESSION_BUS_ADDRESS, else the
/// socket `$XDG_RUNTIME_DIR/bus`) and says Hello to it, giving up after `limit` for the connection
/// and again for the Hello. Blocking. Null without an announced bus or when it does not answer.
[[nodiscard]] Connection connect(std::chrono::milliseconds limit);

} // namespace vantry::SessionBus
