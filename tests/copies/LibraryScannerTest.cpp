#include <copies/LibraryScanner.h>

#include <platform/Paths.h>

#include <support/InfoPlist.h>
#include <support/TestHome.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <limits>

using namespace vantry;

namespace {

// Writes <folder>/<name>/Contents/Info.plist holding `plist`.
bool putBundle(const QString &folder, const QString &name, const PlistValue &plist)
{
    return test::put(folder + u'/' + name + u"/Contents/Info.plist"_qs, plist.toXml());
}

} // namespace

class LibraryScannerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scansTheManagedFolderOneLevelDeep()
    {
        test::TestHome home;
        const QString games = Paths::managedGamesDirectory();
        // A missing folder is told from an empty one.
        QVERIFY(LibraryScanner::scanAll().isEmpty());
        QCOMPARE(LibraryScanner::sightingsForCounting(), std::nullopt);
        QVERIFY(QDir().mkpath(games));
        QCOMPARE(LibraryScanner::sightingsForCounting(), std::optional(QList<DataSighting> {}));

        const std::pair<const char *, PlistValue> bundles[] = {
            {"Zeta.app", test::infoPlist("com.example.zeta", "9", "1.9")},
            {"Dotted.app", test::infoPlist("com.example.dotted", "1.0", "1")},
            {"NoShort.app", test::infoPlist("com.example.noshort", "3", nullptr)},
            {"NoId.app", test::infoPlist(nullptr, "3", "3")},
            {"List.app", PlistValue(PlistValue::Array {PlistValue("com.example.list")})},
            {".Hidden.app", test::infoPlist("com.example.hidden", "1", "1")},
            {"Zipped.app.zip", test::infoPlist("com.example.zipped", "1", "1")},
            {"Nested/Inner.app", test::infoPlist("com.example.inner", "1", "1")},
        };
        for (const auto &[name, plist] : bundles)
            QVERIFY(putBundle(games, QString::fromUtf8(name), plist));
        QVERIFY(putBundle(games, u"Alpha.app"_qs, test::infoPlist("com.example.alpha", "+7", "1.0")));
        QVERIFY(test::put(games + u"/Plain.app"_qs, "not a bundle"));
        QVERIFY(test::put(games + u"/Garbage.app/Contents/Info.plist"_qs, "{ not a property list"));
        // Property lists that would hang the scan or fill the memory are passed over.
        QVERIFY(test::plantHostileInfoPlists(games));
        // A linked entry is read through but keeps the listed name.
        const auto linked = test::infoPlist("com.example.linked", "4", "0.4");
        QVERIFY(putBundle(home.scratch(u"elsewhere"_qs), u"Target.app"_qs, linked));
        QVERIFY(QFile::link(home.scratch(u"elsewhere/Target.app"_qs), games + u"/Linked.app"_qs));

        const QList<InstalledApp> expected {
            {games + u"/Alpha.app"_qs, {u"com.example.alpha"_qs, 7, u"1.0"_qs}},
            {games + u"/Linked.app"_qs, {u"com.example.linked"_qs, 4, u"0.4"_qs}},
            {games + u"/Zeta.app"_qs, {u"com.example.zeta"_qs, 9, u"1.9"_qs}},
        };
        QCOMPARE(LibraryScanner::scanAll(), expected);
        QCOMPARE(LibraryScanner::scanAll(games), expected);
        const QList<DataSighting> sightings {
            {games + u"/Alpha.app"_qs, u"com.example.alpha"_qs},
            {games + u"/Dotted.app"_qs, u"com.example.dotted"_qs},
            {games + u"/Linked.app"_qs, u"com.example.linked"_qs},
            {games + u"/NoShort.app"_qs, u"com.example.noshort"_qs},
            {games + u"/Zeta.app"_qs, u"com.example.zeta"_qs},
        };
        QCOMPARE(LibraryScanner::sightingsForCounting(), std::optional(sightings));
    }

    void modificationTimeIsTheBundleFolders()
    {
        test::TestHome home;
        const QString bundle = home.scratch(u"games/Game.app"_qs);
        QVERIFY(putBundle(home.scratch(u"games"_qs), u"Game.app"_qs, test::infoPlist("com.example.game", "3", "3")));
        QFile plist(bundle + u"/Contents/Info.plist"_qs);
        const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        QVERIFY(plist.open(QIODevice::ReadWrite) && plist.setFileTime(old, QFileDevice::FileModificationTime));
        plist.close();

        const auto timed = LibraryScanner::observationWithModificationTime(bundle);
        QVERIFY(timed.has_value());
        QCOMPARE(timed->observation, (InstalledObservation {u"com.example.game"_qs, 3, u"3"_qs}));
        QCOMPARE(timed->mtime, std::optional(QFileInfo(bundle).lastModified()));
        QVERIFY(*timed->mtime != old);

        QVERIFY(putBundle(home.scratch(u"games"_qs), u"Bad.app"_qs, test::infoPlist("com.example.bad", "x", "3")));
        QCOMPARE(LibraryScanner::observationWithModificationTime(home.scratch(u"games/Bad.app"_qs)), std::nullopt);
    }

    void buildNumberGrammar_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<qint64>>("expected");
        const auto none = std::optional<qint64>();
        QTest::newRow("leading zeros") << u"007"_qs << std::optional<qint64>(7);
        QTest::newRow("plus") << u"+42"_qs << std::optional<qint64>(42);
        QTest::newRow("minus") << u"-42"_qs << std::optional<qint64>(-42);
        QTest::newRow("largest") << u"9223372036854775807"_qs << std::optional(std::numeric_limits<qint64>::max());
        QTest::newRow("smallest") << u"-9223372036854775808"_qs << std::optional(std::numeric_limits<qint64>::min());
        QTest::newRow("one too large") << u"9223372036854775808"_qs << none;
        QTest::newRow("one too small") << u"-9223372036854775809"_qs << none;
        QTest::newRow("a sign only") << u"-"_qs << none;
        QTest::newRow("a leading blank") << u" 7"_qs << none;
        QTest::newRow("digits that are not ASCII") << u"\u0661\u0662"_qs << none;
    }

    void buildNumberGrammar()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<qint64>, expected);
        const auto parsed = LibraryScanner::parseBuildNumber(text);
        QCOMPARE(parsed ? std::optional<qint64>(*parsed) : std::nullopt, expected);
    }

    void keyedByBundleId_data()
    {
        QTest::addColumn<QList<InstalledApp>>("apps");
        QTest::addColumn<QList<InstalledApp>>("winners");
        const auto app = [](const char *path, const char *id, qint64 build) {
            return InstalledApp {QString::fromUtf8(path), {QString::fromUtf8(id), build, QString::number(build)}};
        };
        const InstalledApp mid = app("/games/A.app", "com.x", 7), high = app("/games/Z.app", "com.x", 9),
                           low = app("/games/M.app", "com.x", 5), other = app("/games/Other.app", "com.other", 1);
        const InstalledApp b = app("/Users/a/Applications/Vantry/B.app", "com.y", 5),
                           a = app("/Users/a/Applications/Vantry/A.app", "com.y", 5),
                           c = app("/Users/a/Applications/Vantry/C.app", "com.y", 5),
                           same = app("/Users/a/Applications/Vantry/./A.app/", "com.y", 5);
        QTest::newRow("the higher build wherever listed") << QList {mid, high, low, other} << QList {high, other};
        QTest::newRow("equal builds: the smaller path wherever listed") << QList {b, a, c} << QList {a};
        QTest::newRow("the same canonical path keeps the first") << QList {a, same} << QList {a};
    }

    void keyedByBundleId()
    {
        QFETCH(QList<InstalledApp>, apps);
        QFETCH(QList<InstalledApp>, winners);
        const QHash<QString, InstalledApp> keyed = LibraryScanner::keyedByBundleId(apps);
        QCOMPARE(keyed.size(), winners.size());
        for (const InstalledApp &winner : winners)
            QCOMPARE(keyed.value(winner.observation.bundleId), winner);
    }
};

QTEST_GUILESS_MAIN(LibraryScannerTest)
#include "LibraryScannerTest.moc"
