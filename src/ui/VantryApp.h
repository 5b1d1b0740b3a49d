#pragma once

#include <catalog/AllowlistFetch.h>
#include <core/Expected.h>
#include <core/TitleState.h>
#include <platform/HttpTransport.h>
#include <platform/InstanceLock.h>

#include <QCoroTask>
#include <QHash>
#include <QRectF>
#include <QObject>
#include <QTimer>
#include <QVariantList>

#include <memory>
#include <optional>

class QQmlApplicationEngine;
class QQuickWindow;

namespace vantry {

class AppSettings;
class InstallEngine;
class LibraryModel;
class LibraryView;
class ThemePalette;

/// The window application: it owns the long-lived objects (transport, install engine, library
/// model, the window's views and the refresh timer), prepares the folders in the launcher's
/// start-up order, and loads the QML window. Wiring only; every rule lives in the objects it
/// makes. Main thread only.
class VantryApp : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    /// The launcher's own updater does not exist yet: "Check for Updates…" stays disabled.
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates CONSTANT)
    Q_PROPERTY(bool automaticUpdateChecks READ automaticUpdateChecks WRITE setAutomaticUpdateChecks
                   NOTIFY automaticUpdateChecksChanged)
    /// The themes in the settings window's order: [{raw, name, blurb, icon}].
    Q_PROPERTY(QVariantList themes READ themes CONSTANT)
    Q_PROPERTY(QString theme READ theme WRITE setTheme NOTIFY themeChanged)
    Q_PROPERTY(bool soundEnabled READ soundEnabled WRITE setSoundEnabled NOTIFY soundEnabledChanged)

public:
    /// Why the window could not start.
    enum class StartError { otherLauncherRunning, folderUnusable, developmentOrigin, windowFailed };

    ~VantryApp() override;

    /// The application over the environment's transport; nothing is started yet.
    [[nodiscard]] static Expected<std::unique_ptr<VantryApp>, StartError> create();
    /// Start-up in the launcher's order, then the window. The first refresh runs once the window
    /// is shown and the engine's folders are ready.
    [[nodiscard]] Expected<void, StartError> start();
    [[nodiscard]] static QString describe(StartError error);

    /// The main window and its library view, once started.
    [[nodiscard]] QQuickWindow *window() const;
    [[nodiscard]] LibraryView *view() const { return m_view; }

    [[nodiscard]] QString version() const;
    [[nodiscard]] bool canCheckForUpdates() const { return false; }
    [[nodiscard]] bool automaticUpdateChecks() const;
    void setAutomaticUpdateChecks(bool enabled);
    [[nodiscard]] QVariantList themes() const;
    [[nodiscard]] QString theme() const;
    void setTheme(const QString &raw);
    [[nodiscard]] bool soundEnabled() const;
    void setSoundEnabled(bool enabled);

    /// The main window's content was shown.
    Q_INVOKABLE void windowShown();
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void openGamesFolder();
    /// Where a title's name goes over its drawn artwork ("hero" or "cover") of that size, so the
    /// window sets it where the artwork's scrim keeps it legible.
    Q_INVOKABLE QRectF artTitleRect(const QString &format, qreal width, qreal height) const;

Q_SIGNALS:
    void automaticUpdateChecksChanged();
    void themeChanged();
    void soundEnabledChanged();

private:
    explicit VantryApp(std::unique_ptr<HttpTransport> transport);
    QCoro::Task<void> prepareEngine();
    QCoro::Task<void> refreshWhenReady();
    QCoro::Task<void> followAppearance();
    void notifyJobEnded(const QString &name, bool installed, const QString &message);
    void wireSounds();

    std::optional<InstanceLock> m_lock;
    std::unique_ptr<HttpTransport> m_transport;
    AllowlistFetch m_fetch;
    std::unique_ptr<InstallEngine> m_engine;
    std::unique_ptr<LibraryModel> m_model;
    AppSettings &m_settings;
    ThemePalette *m_palette = nullptr;
    LibraryView *m_view = nullptr;
    std::unique_ptr<QQmlApplicationEngine> m_qml;
    QTimer m_refreshTimer;
    bool m_prepared = false;
    bool m_refreshWaiting = false;
    QHash<QString, TitleState> m_heardStates; // the states the last sounds were chosen from
};

} // namespace vantry
