#pragma once

#include <ui/Theme.h>
#include <ui/ThemeID.h>

#include <QObject>

#include <functional>

namespace vantry {

class UserDefaults;

/// The user's own preferences: theme, sound switch and first-launch flag. Read from the user
/// defaults once, at creation; every change is written straight back, so the stored keys and the
/// object agree. A corrupt or foreign stored value reads as the default and stays as it is until
/// the user changes that setting. Main thread only.
class AppSettings : public QObject
{
    Q_OBJECT
    Q_PROPERTY(vantry::ThemeID themeID READ themeID WRITE setThemeID NOTIFY themeIDChanged)
    Q_PROPERTY(bool soundEnabled READ soundEnabled WRITE setSoundEnabled NOTIFY soundEnabledChanged)
    Q_PROPERTY(bool firstLaunchDone READ firstLaunchDone WRITE setFirstLaunchDone NOTIFY
                   firstLaunchDoneChanged)
    Q_PROPERTY(vantry::Theme theme READ theme NOTIFY themeIDChanged)

public:
    /// What the sound manager does when the user flips the sound switch. Empty until the sound
    /// manager fills it: `setOverriddenEnabled` takes the new switch as its in-memory override,
    /// and `configureIfNeeded` sets up its audio engine if it has not yet (its answer, whether the
    /// engine runs, is not needed here).
    struct SoundHook {
        std::function<void(bool)> setOverriddenEnabled;
        std::function<bool()> configureIfNeeded;
    };

    explicit AppSettings(UserDefaults &defaults, QObject *parent = nullptr);

    /// The process-wide settings over the standard user defaults, created on first use.
    [[nodiscard]] static AppSettings &shared();

    void setSoundHook(SoundHook hook) { m_soundHook = std::move(hook); }

    [[nodiscard]] ThemeID themeID() const { return m_themeID; }
    [[nodiscard]] bool soundEnabled() const { return m_soundEnabled; }
    [[nodiscard]] bool firstLaunchDone() const { return m_firstLaunchDone; }
    /// The fixed record of the current theme.
    [[nodiscard]] const Theme &theme() const { return Theme::forID(m_themeID); }

    void setThemeID(ThemeID id);
    void setSoundEnabled(bool enabled);
    void setFirstLaunchDone(bool done);

Q_SIGNALS:
    void themeIDChanged();
    void soundEnabledChanged();
    void firstLaunchDoneChanged();

private:
    UserDefaults &m_defaults;
    ThemeID m_themeID;
    bool m_soundEnabled;
    bool m_firstLaunchDone;
    SoundHook m_soundHook;
};

} // namespace vantry
