#include <ui/AppSettings.h>

#include <core/DefaultsKeys.h>
#include <platform/UserDefaults.h>

namespace vantry {

AppSettings::AppSettings(UserDefaults &defaults, QObject *parent)
    : QObject(parent), m_defaults(defaults),
      m_themeID(themeIDFromRaw(defaults.text(DefaultsKeys::theme()).value_or(QString())))
      // The stored sound preference: a boolean, on when missing or of another type.
      ,
      m_soundEnabled(defaults.boolean(DefaultsKeys::soundEnabled()).value_or(true)),
      m_firstLaunchDone(defaults.boolean(DefaultsKeys::firstLaunchDone()).value_or(false))
{
}

AppSettings &AppSettings::shared()
{
    static AppSettings settings(UserDefaults::standard());
    return settings;
}

// A failed write keeps the value in memory for this process (UserDefaults says so); the setting
// still changes, and nobody is shown a storage error for a preference.

void AppSettings::setThemeID(ThemeID id)
{
    if (id == m_themeID)
        return;
    m_themeID = id;
    static_cast<void>(m_defaults.setText(DefaultsKeys::theme(), rawValue(id)));
    Q_EMIT themeIDChanged();
}

void AppSettings::setSoundEnabled(bool enabled)
{
    if (enabled == m_soundEnabled)
        return;
    m_soundEnabled = enabled;
    static_cast<void>(m_defaults.setBoolean(DefaultsKeys::soundEnabled(), enabled));
    if (m_soundHook.setOverriddenEnabled)
        m_soundHook.setOverriddenEnabled(enabled);
    // The manager's effective switch is now its override, so it is on exactly when `enabled` is:
    // switching sound on warms the engine before the first click.
    if (enabled && m_soundHook.configureIfNeeded)
        static_cast<void>(m_soundHook.configureIfNeeded());
    Q_EMIT soundEnabledChanged();
}

void AppSettings::setFirstLaunchDone(bool done)
{
    if (done == m_firstLaunchDone)
        return;
    m_firstLaunchDone = done;
    static_cast<void>(m_defaults.setBoolean(DefaultsKeys::firstLaunchDone(), done));
    Q_EMIT firstLaunchDoneChanged();
}

} // namespace vantry
