#include "../install/ReleaseFixture.h"
#include <support/DemoSite.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <platform/InstanceLock.h>
#include <platform/Paths.h>

#include <nlohmann/json.hpp>

#include <QProcess>
#include <QTest>

#include <sys/resource.h>

using namespace vantry;
using Json = nlohmann::ordered_json;

namespace {

// The demo collection, in catalog order.
struct Title {
    QString id, name;
    bool released = true;
};
const QList<Title> collection {{u"sweepler"_qs, u"Sweepler"_qs}, {u"mazzle"_qs, u"Mazzle"_qs},
                               {u"tumbit"_qs, u"Tumbit"_qs},     {u"numbo"_qs, u"Numbo"_qs},
                               {u"swirlo"_qs, u"Swirlo"_qs},     {u"chequor"_qs, u"Chequor"_qs, false}};

test::ToolRun cli(const QStringList &arguments)
{
    return test::runTool(QStringLiteral(VANTRY_CLI), arguments);
}

QString lastLine(const QByteArray &text)
{
    return QString::fromUtf8(text).trimmed().section(u'\n', -1);
}

Json titleOf(int index, const char *state, Json detail = nullptr, Json installed = nullptr,
             int copies = 0)
{
    return Json::object({{"id", collection[index].id.toStdString()},
                         {"name", collection[index].name.toStdString()},
                         {"released", collection[index].released},
                         {"state", state ? Json(state) : Json(nullptr)},
                         {"detail", detail},
                         {"installedVersion", installed},
                         {"copies", copies},
                         {"updateBlock", nullptr}});
}

Json parsed(const test::ToolRun &run)
{
    return Json::parse(run.out.toStdString(), nullptr, false);
}

QString dump(const Json &json)
{
    return QString::fromStdString(json.dump());
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    QProcess m_site;
    test::RunningGames m_games {{u"com.vantry.demo.sweepler"_qs, u"com.vantry.demo.tumbit"_qs}};

    QString managed(const QString &bundle) const
    {
        return FileSystem::canonicalPath(m_home.home() + u"/Applications/Vantry/"_qs + bundle);
    }
    QString temporary() const { return m_home.scratch(u"tmp"_qs); }

private Q_SLOTS:
    void initTestCase()
    {
        const QString out = m_home.scratch(u"demo"_qs);
        QVERIFY(test::publishDemo(QStringLiteral(VANTRY_PUBLISH_TOOL),
                                  QStringLiteral(VANTRY_DEMO_GAME), out, m_home.home()));
        // A release whose bytes changed on the host after it was signed: same length, so only its
        // signature tells.
        QFile image(out + u"/site/releases/mazzle/mazzle-1.dmg"_qs);
        QVERIFY(image.open(QIODevice::ReadWrite) && image.seek(image.size() / 2) &&
                image.write("\x5a", 1) == 1);
        image.close();
        // What an earlier run left: every start clears it, in the temporary folder it is given.
        QVERIFY(QDir().mkpath(temporary() + u"/vantry-mount-left"_qs) &&
                test::put(managed(u".staging/left/x"_qs), "x"));
        qputenv("TMPDIR", QFile::encodeName(temporary()));

        QVERIFY(test::serveSite(m_site, QStringLiteral(VANTRY_PUBLISH_TOOL), out + u"/site"_qs));
    }

    void cleanupTestCase()
    {
        m_site.kill();
        m_site.waitForFinished();
    }

    void listsEveryStateInItsShape()
    {
        const Json titles = Json::array(
            {titleOf(0, "available"), titleOf(1, "available"),
             titleOf(2, "updateAvailable", nullptr, 1, 1),
             titleOf(3, "unavailable",
                     {{"message", "Offline — check your connection and try again."}}),
             titleOf(4, "requiresNewerMacOS", {{"version", "99.0"}}), titleOf(5, nullptr)});
        QCOMPARE(dump(parsed(cli({u"list"_qs, u"--json"_qs}))),
                 dump(Json::object({{"offline", false},
                                    {"launcherUpdateAvailable", false},
                                    {"notice", nullptr},
                                    {"titles", titles}})));
        QVERIFY(test::entriesOf(temporary()).isEmpty() &&
                test::entriesOf(managed(u".staging"_qs)).isEmpty());
        // While one launcher runs, another would empty its downloads: it is refused instead.
        const auto held = InstanceLock::claim(Paths::instanceLockFile());
        const test::ToolRun second = cli({u"list"_qs});
        QVERIFY(held && second.status == 1);
        QCOMPARE(lastLine(second.err), u"Vantry is already running; try again when it has finished."_qs);
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        // What the run says last: on standard error, or on standard output for a success.
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("lastStep"); // where a failed job stopped, when it ran
        const auto row = [](const char *name, const QString &arguments, int status,
                            const QString &says, const QString &step = {}) {
            QTest::newRow(name) << arguments.split(u' ') << status << says << step;
        };
        row("unknown command", u"frob"_qs, 2, u"Run 'vantry-cli --help' to see the commands."_qs);
        row("no title", u"install"_qs, 2, u"usage: vantry-cli [-v] install ID"_qs);
        row("unknown title", u"install nosuch"_qs, 2,
            u"vantry-cli: no title 'nosuch' in the catalog"_qs);
        row("announced", u"install chequor"_qs, 1,
            u"Chequor is announced but not released yet."_qs);
        row("newer system", u"install swirlo"_qs, 1, u"This game needs glibc 99.0 or later."_qs);
        row("install", u"install sweepler"_qs, 0, u"Sweepler is installed."_qs);
        row("up to date", u"install sweepler"_qs, 1, u"Sweepler is installed and up to date."_qs);
        row("tampered", u"install mazzle"_qs, 1, userMessage(VerificationStep::edSignature),
            stepName(VerificationStep::edSignature));
        row("play the old build", u"play tumbit"_qs, 0, u"Tumbit is running."_qs);
        row("quit and update", u"quit-and-update tumbit"_qs, 0, u"Tumbit is installed."_qs);
        row("play", u"play sweepler"_qs, 0, u"Sweepler is running."_qs);
        row("remove running", u"remove sweepler --yes"_qs, 1,
            u"Sweepler could not be removed: the game is running."_qs);
        row("unconfirmed", u"remove tumbit"_qs, 2,
            u"Nothing was moved: without a terminal to ask on, confirm with --yes."_qs);
    }

    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QString, lastStep);
        const test::ToolRun run = cli(arguments);
        QVERIFY2(run.status == status, run.err.constData());
        QVERIFY2(lastLine(status == 0 ? run.out : run.err) == says, run.err.constData());
        if (!lastStep.isEmpty())
            QCOMPARE(lastLine(run.out), lastStep);
    }

    void showsTheOutcomeOnDiskAndInTheTrash()
    {
        const Json titles = parsed(cli({u"list"_qs, u"--json"_qs}))["titles"];
        QCOMPARE(
            dump(Json::array({titles[0]["state"], titles[1]["state"], titles[2]})),
            dump(Json::array({"running", "available", titleOf(2, "installed", nullptr, 2, 1)})));
        QVERIFY(!QFileInfo::exists(managed(u"Mazzle.app"_qs)) &&
                QFileInfo::exists(managed(u"Tumbit.app"_qs)));
        const Json copy {{"path", managed(u"Tumbit.app"_qs).toStdString()},
                         {"version", 2},
                         {"shortVersion", "1.1"},
                         {"managed", true},
                         {"current", true}};
        QCOMPARE(dump(parsed(cli({u"copies"_qs, u"tumbit"_qs, u"--json"_qs}))),
                 dump(Json {{"copies", {copy}}}));

        // Removal with the saved data: both go to the Trash, restorable, nothing deleted.
        m_games.stop();
        const QString sweepler = managed(u"Sweepler.app"_qs),
                      saved = Paths::configHomeDirectory() + u"/com.vantry.demo.sweepler"_qs,
                      trash = m_home.home() + u"/.local/share/Trash/"_qs;
        QVERIFY(test::put(saved + u"/save"_qs, "level 3"));
        const test::ToolRun removed = cli({u"remove"_qs, u"sweepler"_qs, u"--with-data"_qs, u"--yes"_qs});
        QVERIFY2(removed.status == 0, removed.err.constData());
        QVERIFY(!QFileInfo::exists(sweepler) && !QFileInfo::exists(saved));
        QVERIFY(QFileInfo::exists(trash + u"files/Sweepler.app/Contents/Info.plist"_qs));
        QCOMPARE(FileSystem::readFile(trash + u"files/com.vantry.demo.sweepler/save"_qs).value_or(QByteArray()), QByteArray("level 3"));
        const auto info = FileSystem::readFile(trash + u"info/Sweepler.app.trashinfo"_qs);
        QVERIFY(info && info->contains("Path=" + QUrl::toPercentEncoding(sweepler, "/")));

        // A copy changed after it was installed: the check names what changed.
        QFile executable(managed(u"Tumbit.app/Contents/MacOS/tumbit"_qs));
        QVERIFY(executable.open(QIODevice::Append) && executable.write("changed") == 7);
        executable.close();
        const test::ToolRun verified = cli({u"verify"_qs, u"tumbit"_qs, u"--json"_qs});
        QCOMPARE(verified.status, 1);
        const Json check {{"path", copy["path"]},
                          {"signatureValid", false},
                          {"notarized", false},
                          {"problem", "The game's Developer ID signature is invalid: "
                                      "Contents/MacOS/tumbit was modified."}};
        QCOMPARE(dump(parsed(verified)), dump(Json {{"copies", {check}}}));

        rusage used {};
        QVERIFY(::getrusage(RUSAGE_CHILDREN, &used) == 0 && used.ru_maxrss < 300 * 1024);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "CliTest.moc"
