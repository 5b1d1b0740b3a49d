#include <ui/VantryApp.h>

#include <ui/AppSettings.h>
#include <ui/ArtworkProvider.h>
#include <ui/GameArtwork.h>
#include <ui/Appearance.h>
#include <ui/KeyedListModel.h>
#include <ui/LibraryView.h>
#include <ui/ThemePalette.h>
#include <ui/TitleDetail.h>
#include <ui/TitleIconProvider.h>

#include <catalog/CatalogService.h>
#include <catalog/HighWaterStore.h>
#include <core/DefaultsKeys.h>
#include <core/OffMain.h>
#include <install/InstallEngine.h>
#include <library/LibraryModel.h>
#include <library/OutwardSeams.h>
#include <platform/Notifications.h>
#include <platform/Paths.h>
#include <platform/UserDefaults.h>
#include <platform/Workspace.h>
#include <services/SoundManager.h>
#include <vantry/BuildConfig.h>

#include <QCoroFuture>
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QLoggingCategory>
#include <QtQml>

namespace vantry {

// Silent unless asked for (QT_LOGGING_RULES="com.vantry.launcher.startup.info=true"): marks the
// first frame for the start-up benchmark.
Q_LOGGING_CATEGORY(startupLog, "com.vantry.launcher.startup", QtWarningMsg)

namespace {

constexpr int refreshInterval = 24 * 60 * 60 * 1000;

} // namespace

Expected<std::unique_ptr<VantryApp>, VantryApp::StartError> VantryApp::create()
{
    auto transport = HttpTransport::fromEnvironment();
    if (!transport)
        return unexpected(StartError::developmentOrigin);
    return std::unique_ptr<VantryApp>(new VantryApp(std::move(*transport)));
}

VantryApp::VantryApp(std::unique_ptr<HttpTransport> transport)
    : m_transport(std::move(transport)), m_fetch(*m_transport), m_settings(AppSettings::shared())
{
}

VantryApp::~VantryApp()
{
    // The window goes first: its bindings read the views and the model below.
    m_qml.reset();
}

QString VantryApp::describe(StartError error)
{
    switch (error) {
    case StartError::otherLauncherRunning:
        return QCoreApplication::translate(
            "Vantry", "Vantry is already running; try again when it has finished.");
    case StartError::folderUnusable:
        return QCoreApplication::translate(
            "Vantry", "Vantry cannot use its folder %1.").arg(Paths::applicationSupportDirectory());
    case StartError::developmentOrigin:
        return QCoreApplication::translate(
            "Vantry", "The development origin in the environment cannot be used.");
    case StartError::windowFailed:
        return QCoreApplication::translate("Vantry", "The window could not be shown.");
    }
    Q_UNREACHABLE();
}

Expected<void, VantryApp::StartError> VantryApp::start()
{
    // 1. The refresh timer; it starts ticking with the first window.
    m_refreshTimer.setInterval(refreshInterval);
    m_refreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_refreshTimer, &QTimer::timeout, this, &VantryApp::refresh);
    // 2.-4. The folders; one that cannot be made is reported later by whatever needs it. Another
    // launcher process would empty this one's downloads and staging as it starts, so only one runs.
    static_cast<void>(Paths::ensureDirectories(Paths::applicationSupportDirectory(),
                                               Paths::managedGamesDirectory()));
    auto lock = InstanceLock::claim(Paths::instanceLockFile());
    if (!lock) {
        switch (lock.error()) {
        case InstanceLock::Refusal::held:
            return unexpected(StartError::otherLauncherRunning);
        case InstanceLock::Refusal::unopenable:
            return unexpected(StartError::folderUnusable);
        }
    }
    m_lock.emplace(std::move(*lock));
    m_engine = std::make_unique<InstallEngine>(m_transport.get(), &HighWaterStore::shared());
    // 5. The engine's folders are emptied before the first refresh may start a job.
    static_cast<void>(prepareEngine());
    // 6.-8. Settings and the library model over the production seams.
    m_model = std::make_unique<LibraryModel>(
        OutwardSeams::production(m_fetch),
        std::make_unique<CatalogService>(m_fetch, HighWaterStore::shared(),
                                         QString::fromLatin1(BuildConfig::releasePublicKey)),
        m_engine.get(), &HighWaterStore::shared());

    // The icons reach the image providers before the view names them to QML.
    auto icons = std::make_shared<VerifiedIcons>();
    icons->set(m_model->icons());
    connect(m_model.get(), &LibraryModel::iconsChanged, this,
            [this, icons] { icons->set(m_model->icons()); });
    m_palette = new ThemePalette(m_settings, this);
    m_view = new LibraryView(*m_model, *m_engine, this);
    connect(&m_settings, &AppSettings::themeIDChanged, this, &VantryApp::themeChanged);
    connect(&m_settings, &AppSettings::soundEnabledChanged, this, &VantryApp::soundEnabledChanged);
    wireSounds();
    connect(m_view, &LibraryView::jobEnded, this,
            [this](const QString &, const QString &name, bool installed, const QString &message) {
                notifyJobEnded(name, installed, message);
            });

    // Symbols the desktop's icon theme lacks come from the module's own.
    QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << u":/Vantry/icons"_qs);
    QIcon::setFallbackThemeName(u"vantry"_qs);

    qmlRegisterSingletonInstance("Vantry.Backend", 1, 0, "App", this);
    qmlRegisterSingletonInstance("Vantry.Backend", 1, 0, "Library", m_view);
    qmlRegisterSingletonInstance("Vantry.Backend", 1, 0, "Theme", m_palette);
    qmlRegisterUncreatableType<KeyedListModel>("Vantry.Backend", 1, 0, "KeyedListModel",
                                               u"made by the library view"_qs);
    qmlRegisterUncreatableType<TitleDetail>("Vantry.Backend", 1, 0, "TitleDetail",
                                            u"made by the library view"_qs);

    m_qml = std::make_unique<QQmlApplicationEngine>();
    m_qml->addImageProvider(u"titles"_qs, new TitleIconProvider(icons));
    m_qml->addImageProvider(u"art"_qs, new ArtworkProvider(icons));
    m_qml->load(QUrl(u"qrc:/Vantry/qml/Main.qml"_qs));
    if (m_qml->rootObjects().isEmpty())
        return unexpected(StartError::windowFailed);
    if (QQuickWindow *shown = window()) {
        auto *once = new QObject(this);
        connect(shown, &QQuickWindow::frameSwapped, once, [once] {
            qCInfo(startupLog) << "first frame";
            // The audio output opens once the window is out, so that neither the first frame nor
            // the first click waits for it.
            if (SoundManager::shared().isEnabled())
                static_cast<void>(SoundManager::shared().configureIfNeeded());
            once->deleteLater();
        });
    }
    static_cast<void>(followAppearance());
    return {};
}

QCoro::Task<void> VantryApp::prepareEngine()
{
    auto prepared = InstallEngine::prepare(Paths::downloadsDirectory(), Paths::stagingDirectory());
    co_await prepared;
    m_prepared = true;
    if (std::exchange(m_refreshWaiting, false))
        refresh();
}

QCoro::Task<void> VantryApp::followAppearance()
{
    auto appearance = currentAppearance(QGuiApplication::palette());
    const Appearance found = co_await std::move(appearance);
    m_palette->setAppearance(found);
}

void VantryApp::wireSounds()
{
    m_settings.setSoundHook({[](bool enabled) { SoundManager::shared().setOverriddenEnabled(enabled); },
                             [] { return SoundManager::shared().configureIfNeeded(); }});
    connect(m_view, &LibraryView::actionPressed, this,
            [] { SoundManager::shared().play(InterfaceSound::click); });
    m_heardStates = m_model->states();
    connect(m_model.get(), &LibraryModel::statesChanged, this, [this] {
        for (const InterfaceSound sound : soundsForStates(m_heardStates, m_model->states()))
            SoundManager::shared().play(sound);
        m_heardStates = m_model->states();
    });
}

QRectF VantryApp::artTitleRect(const QString &format, qreal width, qreal height) const
{
    return GameArtwork::titleRect(format == u"hero" ? GameArtwork::Format::hero : GameArtwork::Format::cover,
                                  QSizeF(width, height).toSize());
}

void VantryApp::windowShown()
{
    m_settings.setFirstLaunchDone(true);
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
    refresh();
}

void VantryApp::refresh()
{
    if (!m_prepared) {
        m_refreshWaiting = true;
        return;
    }
    m_view->refresh();
}

void VantryApp::openGamesFolder()
{
    // The desktop's answer is not shown: a folder that cannot be opened just stays closed.
    auto open = [path = Paths::managedGamesDirectory()] {
        static_cast<void>(Workspace::openFolder(path));
    };
    static_cast<void>(offMain(open));
}

void VantryApp::notifyJobEnded(const QString &name, bool installed, const QString &message)
{
    if (QGuiApplication::applicationState() == Qt::ApplicationActive)
        return;
    const QString summary = installed ? QCoreApplication::translate("Vantry", "%1 is ready to play").arg(name)
                                      : QCoreApplication::translate("Vantry", "%1 could not be installed").arg(name);
    auto show = [summary, message] {
        static_cast<void>(Notifications::notify(u"Vantry"_qs, QString::fromLatin1(BuildConfig::launcherBundleId),
                                                summary, message));
    };
    static_cast<void>(offMain(show));
}

QQuickWindow *VantryApp::window() const
{
    return m_qml && !m_qml->rootObjects().isEmpty()
               ? qobject_cast<QQuickWindow *>(m_qml->rootObjects().constFirst())
               : nullptr;
}

QString VantryApp::version() const
{
    return QString::fromLatin1(BuildConfig::launcherVersion);
}

bool VantryApp::automaticUpdateChecks() const
{
    return UserDefaults::standard().boolean(DefaultsKeys::automaticUpdateChecks()).value_or(false);
}

void VantryApp::setAutomaticUpdateChecks(bool enabled)
{
    if (enabled == automaticUpdateChecks())
        return;
    static_cast<void>(UserDefaults::standard().setBoolean(DefaultsKeys::automaticUpdateChecks(), enabled));
    Q_EMIT automaticUpdateChecksChanged();
}

QVariantList VantryApp::themes() const
{
    QVariantList list;
    for (const ThemeID id : allThemeIDs) {
        list.append(QVariantMap{{u"raw"_qs, rawValue(id)},
                                {u"name"_qs, displayName(id)},
                                {u"blurb"_qs, Theme::forID(id).blurb},
                                {u"icon"_qs, pickerIconName(id)}});
    }
    return list;
}

QString VantryApp::theme() const
{
    return rawValue(m_settings.themeID());
}

void VantryApp::setTheme(const QString &raw)
{
    for (const ThemeID id : allThemeIDs) {
        if (rawValue(id) == raw)
            m_settings.setThemeID(id);
    }
}

bool VantryApp::soundEnabled() const
{
    return m_settings.soundEnabled();
}

void VantryApp::setSoundEnabled(bool enabled)
{
    m_settings.setSoundEnabled(enabled);
}

} // namespace vantry
