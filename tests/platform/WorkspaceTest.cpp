#include <platform/PropertyList.h>
#include <platform/Workspace.h>

#include <support/TestHome.h>

#include <QDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace vantry;
using Running = QList<Workspace::RunningApplication>;

namespace {

// Unique to one run, so that other runs on this machine are never seen.
QString uniqueId()
{
    return u"com.example."_qs + QUuid::createUuid().toString(QUuid::Id128);
}

Running waitForGames(const QString &id, int count)
{
    Running running;
    (void)QTest::qWaitFor(
        [&] { return (running = Workspace::runningApplications(id)).size() >= count; }, 15000);
    return running;
}

QString procLink(pid_t pid, const QString &name)
{
    return QFile::symLinkTarget(u"/proc/%1/%2"_qs.arg(pid).arg(name));
}

QByteArray procFile(pid_t pid, const char *name)
{
    QFile file(u"/proc/%1/%2"_qs.arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// For one scope, orphaned descendants (a game whose launching parent has exited) become this
// process's children, so that how they ended can be seen.
struct Subreaper {
    Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

// Kills every game still running from the test home, so that a failed test leaves none behind.
struct GameGuard {
    QString root;
    ~GameGuard()
    {
        for (const QString &entry : QDir(u"/proc"_qs).entryList(QDir::Dirs)) {
            if (procLink(entry.toInt(), u"exe"_qs).startsWith(root)) {
                ::kill(entry.toInt(), SIGKILL);
                ::waitpid(entry.toInt(), nullptr, 0);
            }
        }
    }
};

// `<home>/Applications/<name>.app` whose executable is a copy of the stand-in game.
QString makeBundle(const test::TestHome &home, const QString &name, const QString &id)
{
    const QString bundle = home.home() + u"/Applications/"_qs + name + u".app"_qs;
    const PlistValue info(PlistValue::Dictionary {{u"CFBundleIdentifier"_qs, id}, {u"CFBundleExecutable"_qs, name}});
    QFile game(QStringLiteral(VANTRY_TEST_GAME));
    if (!game.open(QIODevice::ReadOnly) || !test::put(bundle + u"/Contents/Info.plist"_qs, info.toXml()) ||
        !test::put(bundle + u"/Contents/MacOS/"_qs + name, game.readAll(), 0700))
        qFatal("cannot make the stand-in game's bundle");
    return QFileInfo(bundle).canonicalFilePath();
}

} // namespace

class WorkspaceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aBundleOwnsWhatLiesInItsMacOSFolder()
    {
        const std::pair<QByteArray, QByteArray> cases[] = {
            {"/g/Swirlo.app/Contents/MacOS/Swirlo (deleted)", "/g/Swirlo.app"},
            {"/g/A b.app/Contents/MacOS/bin/helper", "/g/A b.app"},
            {"/g/A.app/Contents/MacOS/Sub.app/Contents/MacOS/sub", "/g/A.app/Contents/MacOS/Sub.app"},
            {"/g/A.app/Contents/MacOS/.app/Contents/MacOS/x", "/g/A.app"}, // a nameless inner one
            {"/g/A.app/Contents/MacOSX/tool", {}},
            {"/g/A.app/Contents/MacOS/", {}},
            {"/g/.app/Contents/MacOS/x", {}},
            {"A.app/Contents/MacOS/A", {}},
        };
        for (const auto &[link, bundle] : cases)
            QCOMPARE(Workspace::bundleOfExecutable(link).value_or(QByteArray()), bundle);
    }

    void anOpenedGameRunsDetachedWithTheManagedEnvironment()
    {
        test::TestHome home;
        GameGuard guard {home.home() + u'/'};
        const QString id = uniqueId();
        const QString bundle = makeBundle(home, u"Detached"_qs, id);

        // The launcher's state that must not reach the game: a stale VANTRY_MANAGED, an
        // inheritable descriptor, a blocked and ignored SIGTERM, its working folder.
        qputenv("VANTRY_MANAGED", "0");
        const int inheritable = ::open("/dev/zero", O_RDONLY);
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGTERM, &ignore, &previous);
        sigset_t term, previousMask;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &term, &previousMask);
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(home.home());
        const auto opened = Workspace::openApplication(u"Applications/Detached.app"_qs);
        QDir::setCurrent(previousFolder);
        ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        ::sigaction(SIGTERM, &previous, nullptr);
        ::close(inheritable);
        qunsetenv("VANTRY_MANAGED");
        QVERIFY(opened);

        // Fire and forget: nothing is left for the launcher to reap.
        errno = 0;
        QCOMPARE(::waitpid(-1, nullptr, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);

        const Running running = waitForGames(id, 1);
        QCOMPARE(running, (Running {{running.value(0).pid, bundle}}));
        const pid_t pid = running.first().pid;
        const QList<QByteArray> environment = procFile(pid, "environ").split('\0');
        QCOMPARE(environment.count("VANTRY_MANAGED=1"), 1);
        QCOMPARE(environment.count("VANTRY_MANAGED=0"), 0);
        QVERIFY(environment.contains("HOME=" + QFile::encodeName(home.home())));

        // Only the three streams, on /dev/null (the wait lets a sanitizer runtime close what it
        // opens at start).
        const auto descriptors = [pid] {
            return QDir(u"/proc/%1/fd"_qs.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System);
        };
        const QStringList streams {u"0"_qs, u"1"_qs, u"2"_qs};
        QTRY_COMPARE_WITH_TIMEOUT(descriptors(), streams, 3000);
        for (const QString &stream : streams)
            QCOMPARE(procLink(pid, u"fd/"_qs + stream), u"/dev/null"_qs);
        QCOMPARE(procLink(pid, u"cwd"_qs), u"/"_qs);
        const QByteArray status = procFile(pid, "status");
        for (const char *mask : {"SigBlk:", "SigIgn:"}) {
            const qsizetype at = status.indexOf(mask);
            const QByteArray hex = status.mid(at + 7, status.indexOf('\n', at) - at - 7).trimmed();
            const quint64 bits = hex.toULongLong(nullptr, 16);
            QVERIFY2(at >= 0 && !(bits & (quint64(1) << (SIGTERM - 1))), mask);
        }
        // A session of its own, whose leader (the launching child) has gone.
        QVERIFY(::getsid(pid) != ::getsid(0));
        QVERIFY(::getsid(pid) != pid);
    }

    void everyCopyIsFoundWhereItLiesAndAskedToQuit()
    {
        test::TestHome home;
        Subreaper reaper;
        GameGuard guard {home.home() + u'/'};
        const QString id = uniqueId();
        const QString otherId = uniqueId();
        const QString bundle = makeBundle(home, u"Twice"_qs, id);
        QVERIFY(Workspace::openApplication(bundle));
        QVERIFY(Workspace::openApplication(bundle));
        QVERIFY(Workspace::openApplication(makeBundle(home, u"Other"_qs, otherId)));
        const Running games = waitForGames(id, 2);
        const Running others = waitForGames(otherId, 1);
        QCOMPARE(games.size(), 2);
        QCOMPARE(others.size(), 1);
        QCOMPARE(games, (Running {{games[0].pid, bundle}, {games[1].pid, bundle}}));
        QVERIFY(games[0].pid != games[1].pid);

        // A bundle exchanged out of place by an update is found where it now lies, even with its
        // executable deleted under the running games.
        const QString moved = QFileInfo(bundle).absolutePath() + u"/Moved.app"_qs;
        QVERIFY(QDir().rename(bundle, moved));
        QVERIFY(QFile::remove(moved + u"/Contents/MacOS/Twice"_qs));
        QVERIFY(procLink(games[0].pid, u"exe"_qs).endsWith(u" (deleted)"_qs));
        QCOMPARE(Workspace::runningApplications(id), (Running {{games[0].pid, moved}, {games[1].pid, moved}}));

        QCOMPARE(Workspace::terminate(id), 2);
        for (const auto &game : games) {
            int status = 0;
            const auto ended = [&] { return ::waitpid(game.pid, &status, WNOHANG) == game.pid; };
            QVERIFY2(QTest::qWaitFor(ended, 15000), "the game did not end");
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
        }
        QVERIFY(Workspace::runningApplications(id).isEmpty());
        QCOMPARE(Workspace::terminate(id), 0);
        // The game of the other identifier was left alone.
        QCOMPARE(Workspace::runningApplications(otherId), others);
        QCOMPARE(::waitpid(others[0].pid, nullptr, WNOHANG), pid_t(0));
    }

    void whatCannotRunIsRefused()
    {
        test::TestHome home;
        GameGuard guard {home.home() + u'/'};
        using Error = Workspace::OpenError;
        const auto plist = [](const QString &bundle) { return bundle + u"/Contents/Info.plist"_qs; };
        const auto executable = [](const QString &bundle) { return bundle + u"/Contents/MacOS/Broken"_qs; };
        const auto naming = [](const char *name) {
            return PlistValue(PlistValue::Dictionary {{u"CFBundleExecutable"_qs, name}}).toBinary();
        };
        const std::pair<std::function<bool(const QString &)>, Error> cases[] = {
            {[&](const QString &b) { return test::put(plist(b), "not a property list"); }, Error::infoPlistUnreadable},
            {[&](const QString &b) { return test::put(plist(b), PlistValue().toXml()); }, Error::noExecutableName},
            {[&](const QString &b) { return test::put(plist(b), naming("../MacOS/Broken")); }, Error::noExecutableName},
            {[&](const QString &b) { return QFile::remove(executable(b)); }, Error::executableMissing},
            {[&](const QString &b) { return QFile::setPermissions(executable(b), QFile::ReadOwner); },
             Error::notExecutable},
            // Executable by its mode, yet no program: the failure of exec itself comes back.
            {[&](const QString &b) { return test::put(executable(b), "\x01\x02 no program\n", 0700); },
             Error::notExecutable},
        };
        for (const auto &[breakIt, expected] : cases) {
            const QString id = uniqueId();
            const QString bundle = makeBundle(home, u"Broken"_qs, id);
            QVERIFY(breakIt(bundle));
            const auto opened = Workspace::openApplication(bundle);
            QCOMPARE(opened ? -1 : int(opened.error()), int(expected));
            QVERIFY(Workspace::runningApplications(id).isEmpty());
            QVERIFY(QDir(bundle).removeRecursively());
        }
    }
};

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "WorkspaceTest.moc"
