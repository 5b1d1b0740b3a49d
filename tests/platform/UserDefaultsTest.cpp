#include <platform/FileSystem.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <limits>
#include <sys/stat.h>

using namespace vantry;
using Integer = std::optional<std::int64_t>;

class UserDefaultsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typesStayApartInAPrivateFile()
    {
        test::TestHome home;
        const QString path = home.scratch(u"config/Vantry/defaults.json"_qs);
        constexpr auto largest = std::numeric_limits<std::int64_t>::max();
        constexpr auto smallest = std::numeric_limits<std::int64_t>::min();
        {
            const mode_t old = ::umask(022);
            UserDefaults defaults(path);
            const bool written = defaults.setInteger(u"count"_qs, 12) && defaults.setText(u"label"_qs, u"12"_qs) &&
                                 defaults.setBoolean(u"flag"_qs, true) && defaults.setInteger(u"big"_qs, largest) &&
                                 defaults.setInteger(u"low"_qs, smallest);
            ::umask(old);
            QVERIFY(written);
        }
        QCOMPARE(*FileSystem::permissions(home.scratch(u"config/Vantry"_qs)), mode_t(0700));
        QCOMPARE(*FileSystem::permissions(path), mode_t(0600));
        UserDefaults reread(path);
        QCOMPARE(reread.integer(u"count"_qs), Integer(12));
        QCOMPARE(reread.text(u"count"_qs), std::nullopt);
        QCOMPARE(reread.boolean(u"count"_qs), std::nullopt);
        QCOMPARE(reread.text(u"label"_qs), std::optional(u"12"_qs));
        QCOMPARE(reread.integer(u"label"_qs), std::nullopt);
        QCOMPARE(reread.boolean(u"flag"_qs), std::optional(true));
        QCOMPARE(reread.integer(u"flag"_qs), std::nullopt);
        QCOMPARE(reread.integer(u"big"_qs), Integer(largest));
        QCOMPARE(reread.integer(u"low"_qs), Integer(smallest));
        QVERIFY(!reread.contains(u"absent"_qs));
        QVERIFY(reread.remove(u"count"_qs));
        QVERIFY(!UserDefaults(path).contains(u"count"_qs));
    }

    void valuesWrittenByHandAreReadStrictly()
    {
        test::TestHome home;
        const QString path = home.scratch(u"defaults.json"_qs);
        QVERIFY(test::put(path, R"({"float": 3.0, "huge": 18446744073709551615, "neg": -5,
                                    "flag": false})"));
        UserDefaults defaults(path);
        QCOMPARE(defaults.integer(u"float"_qs), std::nullopt);
        QCOMPARE(defaults.integer(u"huge"_qs), std::nullopt);
        QCOMPARE(defaults.integer(u"neg"_qs), Integer(-5));
        QCOMPARE(defaults.boolean(u"flag"_qs), std::optional(false));
    }

    void aRaisedIntegerNeverFalls()
    {
        test::TestHome home;
        const QString path = home.scratch(u"defaults.json"_qs);
        const QString key = u"catalog.versionHighWater"_qs;
        UserDefaults first(path);
        UserDefaults second(path); // read before the first one wrote
        QVERIFY(first.raiseInteger(key, 9));
        QVERIFY(second.raiseInteger(key, 8));
        QCOMPARE(UserDefaults(path).integer(key), Integer(9));
        QCOMPARE(second.integer(key), Integer(9));

        // Held back for a later flush, raises fold together; a plain set still wins.
        QVERIFY(second.raiseInteger(key, 12, UserDefaults::Write::later));
        QVERIFY(second.raiseInteger(key, 11, UserDefaults::Write::later));
        QCOMPARE(UserDefaults(path).integer(key), Integer(9));
        QVERIFY(first.setInteger(key, 20));
        QVERIFY(second.flush());
        QCOMPARE(UserDefaults(path).integer(key), Integer(20));
        QVERIFY(first.setInteger(key, 3));
        QCOMPARE(UserDefaults(path).integer(key), Integer(3));
    }

    void twoProcessesRaisingOneMark()
    {
        test::TestHome home;
        const QString path = home.scratch(u"defaults.json"_qs);
        QProcess odd;
        QProcess even;
        const auto start = [&](QProcess &racer, int first) {
            racer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            racer.start(QStringLiteral(VANTRY_DEFAULTS_RACER),
                        {path, u"mark"_qs, QString::number(first), u"600"_qs, u"2"_qs});
        };
        start(odd, 1);
        start(even, 2);
        for (QProcess *racer : {&odd, &even}) {
            QVERIFY(racer->waitForFinished(120000));
            QCOMPARE(racer->exitStatus(), QProcess::NormalExit);
            QCOMPARE(racer->exitCode(), 0);
        }
        QCOMPARE(UserDefaults(path).integer(u"mark"_qs), Integer(600));
    }

    void anUnreadableFileIsSetAsideNotLost()
    {
        test::TestHome home;
        const QString path = home.scratch(u"defaults.json"_qs);
        const QByteArray garbage = "{ not json";
        QVERIFY(test::put(path, garbage));

        UserDefaults defaults(path);
        QVERIFY(!defaults.contains(u"theme"_qs));
        QCOMPARE(*FileSystem::readFile(path), garbage); // reading changes nothing
        QVERIFY(defaults.setText(u"theme"_qs, u"modern"_qs));
        QCOMPARE(*FileSystem::readFile(path + u".unreadable"_qs), garbage);
        QCOMPARE(UserDefaults(path).text(u"theme"_qs), std::optional(u"modern"_qs));

        // Spoiled again later: what this process knew is kept, and so is each unreadable file.
        QVERIFY(test::put(path, "second garbage"));
        QVERIFY(defaults.setInteger(u"n"_qs, 3));
        QCOMPARE(*FileSystem::readFile(path + u".unreadable"_qs), garbage);
        QCOMPARE(*FileSystem::readFile(path + u".unreadable-2"_qs), QByteArray("second garbage"));
        QCOMPARE(UserDefaults(path).text(u"theme"_qs), std::optional(u"modern"_qs));
        QCOMPARE(UserDefaults(path).integer(u"n"_qs), Integer(3));

        // A folder in the way is set aside too.
        QVERIFY(QFile::remove(path) && FileSystem::makeDirectories(path + u"/inside"_qs));
        QVERIFY(defaults.setText(u"theme"_qs, u"atrium"_qs));
        QVERIFY(QFileInfo(path + u".unreadable-3/inside"_qs).isDir());
        QCOMPARE(UserDefaults(path).text(u"theme"_qs), std::optional(u"atrium"_qs));
    }

    void aFailedWriteStillHoldsTheValue()
    {
        test::TestHome home;
        const QString blocker = home.scratch(u"blocker"_qs);
        const QString key = u"catalog.versionHighWater"_qs;
        QVERIFY(test::put(blocker, "x"));
        UserDefaults defaults(blocker + u"/defaults.json"_qs);
        QVERIFY(!defaults.setInteger(key, 9));
        QCOMPARE(defaults.integer(key), Integer(9));

        // A later write neither loses it in memory nor forgets to store it once it can.
        QVERIFY(!defaults.setText(u"theme"_qs, u"atrium"_qs));
        QCOMPARE(defaults.integer(key), Integer(9));
        QVERIFY(QFile::remove(blocker));
        QVERIFY(defaults.setBoolean(u"soundEnabled"_qs, false));
        UserDefaults reread(blocker + u"/defaults.json"_qs);
        QCOMPARE(reread.integer(key), Integer(9));
        QCOMPARE(reread.text(u"theme"_qs), std::optional(u"atrium"_qs));
        QCOMPARE(reread.boolean(u"soundEnabled"_qs), std::optional(false));
    }
};

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "UserDefaultsTest.moc"
