#include <support/DemoSite.h>
#include <support/TestHome.h>

#include <platform/FileSystem.h>
#include <platform/Workspace.h>
#include <ui/LibraryView.h>
#include <ui/VantryApp.h>

#include <QDir>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <sys/prctl.h>
#include <sys/wait.h>

using namespace vantry;

namespace {

const QString sweeplerId = u"com.vantry.demo.sweepler"_qs;

void stopSweepler()
{
    for (const Workspace::RunningApplication &game : Workspace::runningApplications(sweeplerId)) {
        ::kill(game.pid, SIGKILL);
        ::waitpid(game.pid, nullptr, 0);
    }
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    QProcess m_site;
    std::unique_ptr<VantryApp> m_app;
    QQuickWindow *m_window = nullptr;
    QString m_shots;

    QString managed() const { return m_home.home() + u"/Applications/Vantry/Sweepler.app"_qs; }
    QString trash() const { return m_home.home() + u"/.local/share/Trash/files"_qs; }
    QVariantMap pane() const { return m_app->view()->detail()->pane(); }

    // The visible item of that name, popups and list delegates included.
    QQuickItem *item(const QString &name, QQuickWindow *window = nullptr) const
    {
        window = window ? window : m_window;
        QList<QQuickItem *> queue{window->contentItem()->parentItem() ? window->contentItem()->parentItem()
                                                                       : window->contentItem()};
        while (!queue.isEmpty()) {
            QQuickItem *each = queue.takeFirst();
            if (each->objectName() == name && each->isVisible())
                return each;
            queue += each->childItems();
        }
        return nullptr;
    }
    // A real click at the middle of the item, through the window system's event queue.
    bool click(const QString &name, QQuickWindow *window = nullptr)
    {
        window = window ? window : m_window;
        QQuickItem *target = item(name, window);
        if (!target)
            return false;
        const QPointF middle = target->mapToScene({target->width() / 2, target->height() / 2});
        QTest::mouseClick(window, Qt::LeftButton, {}, middle.toPoint());
        return true;
    }
    void shoot(const QString &name)
    {
        QTest::qWait(300); // let the last change reach the screen
        const QImage shot = m_window->grabWindow();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(m_shots + u'/' + name + u".png"_qs));
    }

private Q_SLOTS:
    void initTestCase()
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1); // the games the window starts are reaped here
        const QString out = m_home.scratch(u"demo"_qs);
        QVERIFY(test::publishDemo(QStringLiteral(VANTRY_PUBLISH_TOOL),
                                  QStringLiteral(VANTRY_DEMO_GAME), out, m_home.home()));
        QVERIFY(QDir().mkpath(m_home.scratch(u"tmp"_qs)));
        qputenv("TMPDIR", QFile::encodeName(m_home.scratch(u"tmp"_qs)));
        qputenv("GIO_USE_VFS", "local");
        m_shots = qEnvironmentVariable("VANTRY_SCREENSHOTS", m_home.scratch(u"shots"_qs));
        QVERIFY(QDir().mkpath(m_shots));

        QVERIFY(test::serveSite(m_site, QStringLiteral(VANTRY_PUBLISH_TOOL), out + u"/site"_qs));

        auto app = VantryApp::create();
        QVERIFY(app);
        m_app = std::move(*app);
        QVERIFY(m_app->start());
        m_window = m_app->window();
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        m_window->requestActivate(); // shortcuts go to the active window
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTRY_VERIFY_WITH_TIMEOUT(item(u"clubhouse.card.sweepler"_qs), 30000);
        // The verified icons, the seed's among them, reach the cards.
        QTRY_VERIFY(!m_app->view()->hero().value(u"icon"_qs).toString().isEmpty());
    }

    void cleanupTestCase()
    {
        m_app.reset();
        stopSweepler();
        m_site.kill();
        m_site.waitForFinished();
    }

    void installsPlaysAndRemovesFromTheWindow()
    {
        // Choosing the card features it; its Get button installs it through every check.
        QVERIFY(click(u"clubhouse.card.sweepler"_qs));
        QTRY_COMPARE(m_app->view()->selectedId(), u"sweepler"_qs);
        QVERIFY(click(u"clubhouse.hero.action.sweepler.install"_qs));
        QTRY_COMPARE_WITH_TIMEOUT(m_app->view()->hero().value(u"badgeKind"_qs).toString(),
                                  u"installed"_qs, 60000);
        QVERIFY(QFileInfo::exists(managed() + u"/Contents/Info.plist"_qs));

        // Play, from the keyboard: focus the hero's Play button and press Space.
        QQuickItem *play = item(u"clubhouse.hero.action.sweepler.play"_qs);
        QVERIFY(play);
        play->forceActiveFocus(Qt::TabFocusReason);
        QTest::keyClick(m_window, Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(!Workspace::runningApplications(sweeplerId).isEmpty(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_app->view()->hero().value(u"badgeKind"_qs).toString(),
                                  u"running"_qs, 20000);

        // A running game's copy cannot be removed; once it quits, it can.
        QTRY_COMPARE(pane().value(u"copies"_qs).toList().value(0).toMap().value(u"refusal"_qs),
                     QVariant(u"Quit Sweepler before removing a copy."_qs));
        stopSweepler();

        // A second copy elsewhere: the pane counts both, and "Remove Other Copies…" moves it.
        const QString other = m_home.home() + u"/Games/Sweepler.app"_qs;
        QVERIFY(QDir().mkpath(m_home.home() + u"/Games"_qs));
        QCOMPARE(QProcess::execute(u"cp"_qs, {u"-a"_qs, managed(), other}), 0);
        QTest::keyClick(m_window, Qt::Key_R, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(pane().value(u"copiesText"_qs).toString(),
                                  u"2 copies installed"_qs, 20000);
        QTRY_VERIFY(pane().value(u"copies"_qs).toList().value(1).toMap().value(u"refusal"_qs) == u""_qs);
        shoot(u"copies"_qs);
        QVERIFY(click(u"clubhouse.detail.removeOthers"_qs));
        QTRY_VERIFY(item(u"clubhouse.removal.removeKeepingData"_qs));
        QCOMPARE(m_app->view()->detail()->confirmation().value(u"paths"_qs).toStringList(),
                 QStringList{FileSystem::canonicalPath(other)});
        QVERIFY(click(u"clubhouse.removal.removeKeepingData"_qs));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(other), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(pane().value(u"copiesText"_qs).toString(), u"1 copy installed"_qs,
                                  20000);

        // The last copy, through its confirmation: both copies end in the Trash, nothing deleted.
        QVERIFY(click(u"clubhouse.detail.remove.0"_qs));
        QTRY_VERIFY(item(u"clubhouse.removal.removeKeepingData"_qs));
        QVERIFY(click(u"clubhouse.removal.removeKeepingData"_qs));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(managed()), 20000);
        QCOMPARE(QDir(trash()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(m_app->view()->hero().value(u"badgeKind"_qs).toString(),
                                  u"get"_qs, 20000);
    }

    void walksEveryTheme()
    {
        QVERIFY(click(u"clubhouse.detail.close"_qs));
        QTRY_VERIFY(m_app->view()->selectedId().isEmpty());
        QTest::keyClick(m_window, Qt::Key_Comma, Qt::ControlModifier);
        QWindow *settings = nullptr;
        QTRY_VERIFY((settings = m_window->findChild<QWindow *>(u"settings"_qs)) && settings->isVisible());
        auto *settingsWindow = qobject_cast<QQuickWindow *>(settings);
        QVERIFY(settingsWindow && QTest::qWaitForWindowExposed(settingsWindow));
        QSet<QRgb> backgrounds;
        for (const QString &theme : {u"modern"_qs, u"atrium"_qs, u"angkor"_qs, u"arcade"_qs}) {
            QVERIFY(click(u"settings.theme."_qs + theme, settingsWindow));
            QTRY_COMPARE(m_app->theme(), theme);
            shoot(theme == u"arcade" ? u"library"_qs : u"library-"_qs + theme);
            backgrounds.insert(m_window->grabWindow().pixel(4, m_window->height() - 4));
        }
        QCOMPARE(backgrounds.size(), 4); // every theme repaints the window
        settings->close();
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
