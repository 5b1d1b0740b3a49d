#include <platform/FileSystem.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <limits>
#include <sys/stat.h>

using namespace vantry;

class UserDefaultsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typesStayApartAcrossInstances()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("config/defaults.json"));
        {
            UserDefaults defaults(path);
            QVERIFY(defaults.setInteger(QStringLiteral("count"), 12));
            QVERIFY(defaults.setText(QStringLiteral("label"), QStringLiteral("12")));
            QVERIFY(defaults.setBoolean(QStringLiteral("flag"), true));
            QVERIFY(defaults.setInteger(QStringLiteral("big"), std::numeric_limits<std::int64_t>::max()));
            QVERIFY(defaults.setInteger(QStringLiteral("low"), std::numeric_limits<std::int64_t>::min()));
        }
        UserDefaults reread(path);
        QCOMPARE(reread.integer(QStringLiteral("count")), std::optional<std::int64_t>(12));
        QCOMPARE(reread.text(QStringLiteral("count")), std::nullopt);
        QCOMPARE(reread.text(QStringLiteral("label")), std::optional(QStringLiteral("12")));
        QCOMPARE(reread.integer(QStringLiteral("label")), std::nullopt);
        QCOMPARE(reread.boolean(QStringLiteral("flag")), std::optional(true));
        QCOMPARE(reread.integer(QStringLiteral("flag")), std::nullopt);
        QCOMPARE(reread.boolean(QStringLiteral("count")), std::nullopt);
        QCOMPARE(reread.integer(QStringLiteral("big")), std::optional(std::numeric_limits<std::int64_t>::max()));
        QCOMPARE(reread.integer(QStringLiteral("low")), std::optional(std::numeric_limits<std::int64_t>::min()));
        QVERIFY(!reread.contains(QStringLiteral("absent")));

        QCOMPARE(*FileSystem::permissions(path), mode_t(0600));
        QVERIFY(reread.remove(QStringLiteral("count")));
        QVERIFY(!UserDefaults(path).contains(QStringLiteral("count")));
    }

    void valuesWrittenByHandAreReadStrictly()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        QVERIFY(FileSystem::writeFileAtomically(
            path, R"({"float": 3.0, "huge": 18446744073709551615, "neg": -5, "text": "7", "flag": false})"));
        UserDefaults defaults(path);
        QCOMPARE(defaults.integer(QStringLiteral("float")), std::nullopt);
        QCOMPARE(defaults.integer(QStringLiteral("huge")), std::nullopt);
        QCOMPARE(defaults.integer(QStringLiteral("neg")), std::optional<std::int64_t>(-5));
        QCOMPARE(defaults.integer(QStringLiteral("text")), std::nullopt);
        QCOMPARE(defaults.boolean(QStringLiteral("flag")), std::optional(false));
    }

    void aWriteKeepsWhatAnotherInstanceWrote()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        UserDefaults first(path);
        UserDefaults second(path);
        QVERIFY(first.setText(QStringLiteral("theme"), QStringLiteral("atrium")));
        QVERIFY(second.setBoolean(QStringLiteral("soundEnabled"), false));

        UserDefaults third(path);
        QCOMPARE(third.text(QStringLiteral("theme")), std::optional(QStringLiteral("atrium")));
        QCOMPARE(third.boolean(QStringLiteral("soundEnabled")), std::optional(false));
        QCOMPARE(second.text(QStringLiteral("theme")), std::optional(QStringLiteral("atrium")));
    }

    void aRaisedIntegerNeverFalls()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        const QString key = QStringLiteral("catalog.versionHighWater");
        UserDefaults first(path);
        UserDefaults second(path); // read before the first one wrote
        QVERIFY(first.raiseInteger(key, 9));
        QVERIFY(second.raiseInteger(key, 8));
        QCOMPARE(UserDefaults(path).integer(key), std::optional<std::int64_t>(9));
        QCOMPARE(second.integer(key), std::optional<std::int64_t>(9));

        // Held back for a later flush, raises fold together; a plain set still wins.
        QVERIFY(second.raiseInteger(key, 12, UserDefaults::Write::later));
        QVERIFY(second.raiseInteger(key, 11, UserDefaults::Write::later));
        QCOMPARE(UserDefaults(path).integer(key), std::optional<std::int64_t>(9));
        QVERIFY(first.setInteger(key, 20));
        QVERIFY(second.flush());
        QCOMPARE(UserDefaults(path).integer(key), std::optional<std::int64_t>(20));
        QVERIFY(first.setInteger(key, 3));
        QCOMPARE(UserDefaults(path).integer(key), std::optional<std::int64_t>(3));
    }

    void twoProcessesRaisingOneMark()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        QProcess odd;
        QProcess even;
        const auto start = [&](QProcess &racer, int first) {
            racer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            racer.start(QStringLiteral(VANTRY_DEFAULTS_RACER), {path, QStringLiteral("mark"), QString::number(first),
                                                                 QStringLiteral("600"), QStringLiteral("2")});
        };
        start(odd, 1);
        start(even, 2);
        for (QProcess *racer : {&odd, &even}) {
            QVERIFY(racer->waitForFinished(120000));
            QCOMPARE(racer->exitStatus(), QProcess::NormalExit);
            QCOMPARE(racer->exitCode(), 0);
        }
        QCOMPARE(UserDefaults(path).integer(QStringLiteral("mark")), std::optional<std::int64_t>(600));
    }

    void anUnreadableFileIsSetAsideNotLost()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        const QByteArray garbage = "{ not json";
        QVERIFY(FileSystem::writeFileAtomically(path, garbage));

        UserDefaults defaults(path);
        QVERIFY(!defaults.contains(QStringLiteral("theme")));
        QCOMPARE(*FileSystem::readFile(path), garbage); // reading changes nothing

        QVERIFY(defaults.setText(QStringLiteral("theme"), QStringLiteral("modern")));
        QCOMPARE(*FileSystem::readFile(path + QStringLiteral(".unreadable")), garbage);
        QCOMPARE(UserDefaults(path).text(QStringLiteral("theme")), std::optional(QStringLiteral("modern")));

        // Spoiled again later: what this process knew is kept, and so is each unreadable file.
        QVERIFY(FileSystem::writeFileAtomically(path, "second garbage"));
        QVERIFY(defaults.setInteger(QStringLiteral("n"), 3));
        QCOMPARE(*FileSystem::readFile(path + QStringLiteral(".unreadable")), garbage);
        QCOMPARE(*FileSystem::readFile(path + QStringLiteral(".unreadable-2")), QByteArray("second garbage"));
        QCOMPARE(UserDefaults(path).text(QStringLiteral("theme")), std::optional(QStringLiteral("modern")));
        QCOMPARE(UserDefaults(path).integer(QStringLiteral("n")), std::optional<std::int64_t>(3));
    }

    void aFolderInTheWayIsSetAsideToo()
    {
        test::TestHome home;
        const QString path = home.scratch(QStringLiteral("defaults.json"));
        QVERIFY(FileSystem::makeDirectories(path + QStringLiteral("/inside")));
        UserDefaults defaults(path);
        QVERIFY(defaults.setText(QStringLiteral("theme"), QStringLiteral("modern")));
        QVERIFY(QFileInfo(path + QStringLiteral(".unreadable/inside")).isDir());
        QCOMPARE(UserDefaults(path).text(QStringLiteral("theme")), std::optional(QStringLiteral("modern")));
    }

    void theFolderIsPrivate()
    {
        test::TestHome home;
        const mode_t old = ::umask(022);
        const bool written = UserDefaults(home.scratch(QStringLiteral("config/Vantry/defaults.json")))
                                 .setInteger(QStringLiteral("n"), 1)
                                 .has_value();
        ::umask(old);
        QVERIFY(written);
        QCOMPARE(*FileSystem::permissions(home.scratch(QStringLiteral("config/Vantry"))), mode_t(0700));
    }

    void aFailedWriteStillHoldsTheValue()
    {
        test::TestHome home;
        const QString blocker = home.scratch(QStringLiteral("blocker"));
        QVERIFY(FileSystem::writeFileAtomically(blocker, "x"));
        UserDefaults defaults(blocker + QStringLiteral("/defaults.json"));
        const auto written = defaults.setInteger(QStringLiteral("catalog.versionHighWater"), 9);
        QVERIFY(!written);
        QCOMPARE(defaults.integer(QStringLiteral("catalog.versionHighWater")), std::optional<std::int64_t>(9));

        // A later write neither loses it in memory nor forgets to store it once it can.
        QVERIFY(!defaults.setText(QStringLiteral("theme"), QStringLiteral("atrium")));
        QCOMPARE(defaults.integer(QStringLiteral("catalog.versionHighWater")), std::optional<std::int64_t>(9));
        QVERIFY(QFile::remove(blocker));
        QVERIFY(defaults.setBoolean(QStringLiteral("soundEnabled"), false));
        UserDefaults reread(blocker + QStringLiteral("/defaults.json"));
        QCOMPARE(reread.integer(QStringLiteral("catalog.versionHighWater")), std::optional<std::int64_t>(9));
        QCOMPARE(reread.text(QStringLiteral("theme")), std::optional(QStringLiteral("atrium")));
        QCOMPARE(reread.boolean(QStringLiteral("soundEnabled")), std::optional(false));
    }
};

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "UserDefaultsTest.moc"
