#include <copies/LibraryScanner.h>

#include "InfoPlist.h"

#include <platform/Paths.h>
#include <support/TestHome.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <limits>

using namespace vantry;

namespace {

enum class Format { xml, binary };

// Writes <folder>/<name>/Contents/Info.plist holding `plist`.
void writeBundle(const QString &folder, const QString &name, const PlistValue &plist, Format format = Format::xml)
{
    const QString contents = folder + u'/' + name + u"/Contents"_qs;
    QVERIFY(QDir().mkpath(contents));
    QFile file(contents + u"/Info.plist"_qs);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(format == Format::xml ? plist.toXml() : plist.toBinary());
}

PlistValue info(const char *bundleId, const char *build, const char *shortVersion)
{
    return test::infoPlist(bundleId, build, shortVersion);
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
        writeBundle(games, u"Zeta.app"_qs, info("com.example.zeta", "9", "1.9"));
        writeBundle(games, u"Alpha.app"_qs, info("com.example.alpha", "+7", "1.0"), Format::binary);
        writeBundle(games, u"Letters.app"_qs, info("com.example.letters", "12a", "1"));
        writeBundle(games, u"Dotted.app"_qs, info("com.example.dotted", "1.0", "1"));
        writeBundle(games, u"NoShort.app"_qs, info("com.example.noshort", "3", nullptr));
        writeBundle(games, u"NoId.app"_qs, info(nullptr, "3", "3"));
        writeBundle(games, u"NumericId.app"_qs, PlistValue(PlistValue::Dictionary {{u"CFBundleIdentifier"_qs, 5}}));
        writeBundle(games, u"List.app"_qs, PlistValue(PlistValue::Array {PlistValue("com.example.list")}));
        writeBundle(games, u".Hidden.app"_qs, info("com.example.hidden", "1", "1"));
        writeBundle(games, u".staging"_qs, info("com.example.staged", "1", "1"));
        writeBundle(games, u"Zipped.app.zip"_qs, info("com.example.zipped", "1", "1"));
        writeBundle(games, u"Nested/Inner.app"_qs, info("com.example.inner", "1", "1"));
        QFile plain(games + u"/Plain.app"_qs);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("not a bundle");
        plain.close();
        // A linked entry is read through but keeps the listed name.
        writeBundle(home.scratch(u"elsewhere"_qs), u"Target.app"_qs, info("com.example.linked", "4", "0.4"));
        QVERIFY(QFile::link(home.scratch(u"elsewhere"_qs) + u"/Target.app"_qs, games + u"/Linked.app"_qs));

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
            {games + u"/Letters.app"_qs, u"com.example.letters"_qs},
            {games + u"/Linked.app"_qs, u"com.example.linked"_qs},
            {games + u"/NoShort.app"_qs, u"com.example.noshort"_qs},
            {games + u"/Zeta.app"_qs, u"com.example.zeta"_qs},
        };
        QCOMPARE(LibraryScanner::sightingsForCounting(), std::optional(sightings));
    }

    void missingAndEmptyFolders()
    {
        test::TestHome home;
        QVERIFY(LibraryScanner::scanAll().isEmpty());
        QCOMPARE(LibraryScanner::sightingsForCounting(), std::nullopt);

        const QString empty = home.scratch(u"empty"_qs);
        QVERIFY(QDir().mkpath(empty));
        QVERIFY(LibraryScanner::scanAll(empty).isEmpty());
        QCOMPARE(LibraryScanner::sightingsForCounting(empty), std::optional(QList<DataSighting> {}));
    }

    void readsBothPlistEncodings_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("xml") << int(Format::xml);
        QTest::newRow("binary") << int(Format::binary);
    }

    void readsBothPlistEncodings()
    {
        QFETCH(int, format);
        test::TestHome home;
        const QString folder = home.scratch(u"games"_qs);
        const PlistValue plist = info("com.example.game", "-12", "2.0 beta");
        writeBundle(folder, u"Game.app"_qs, plist, Format(format));
        QCOMPARE(LibraryScanner::readInfoPlist(folder + u"/Game.app"_qs), std::optional(plist));
        QCOMPARE(LibraryScanner::observation(folder + u"/Game.app"_qs),
                 std::optional(InstalledObservation {u"com.example.game"_qs, -12, u"2.0 beta"_qs}));
    }

    void unreadableInfoPlists()
    {
        test::TestHome home;
        const QString folder = home.scratch(u"games"_qs);
        QVERIFY(QDir().mkpath(folder + u"/Garbage.app/Contents"_qs));
        QFile garbage(folder + u"/Garbage.app/Contents/Info.plist"_qs);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("{ not a property list");
        garbage.close();
        QCOMPARE(LibraryScanner::readInfoPlist(folder + u"/Garbage.app"_qs), std::nullopt);
        QCOMPARE(LibraryScanner::readInfoPlist(folder + u"/Missing.app"_qs), std::nullopt);
        writeBundle(folder, u"Empty.app"_qs, PlistValue(PlistValue::Dictionary {}));
        QVERIFY(LibraryScanner::readInfoPlist(folder + u"/Empty.app"_qs).has_value());
        QCOMPARE(LibraryScanner::observation(folder + u"/Empty.app"_qs), std::nullopt);

        // Property lists that would hang the scan or fill the memory are passed over.
        writeBundle(Paths::managedGamesDirectory(), u"Game.app"_qs, info("com.example.game", "3", "1.0"));
        QVERIFY(test::plantHostileInfoPlists(Paths::managedGamesDirectory()));
        const auto apps = LibraryScanner::scanAll();
        QCOMPARE(apps.size(), 1);
        QCOMPARE(apps.first().observation.bundleId, u"com.example.game"_qs);
        QCOMPARE(LibraryScanner::sightingsForCounting()->size(), 1);
    }

    void modificationTimeIsTheBundleFolders()
    {
        test::TestHome home;
        const QString folder = home.scratch(u"games"_qs);
        writeBundle(folder, u"Game.app"_qs, info("com.example.game", "3", "3"));
        const QString bundle = folder + u"/Game.app"_qs;
        const QDateTime old = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        QFile plist(bundle + u"/Contents/Info.plist"_qs);
        QVERIFY(plist.open(QIODevice::ReadWrite));
        QVERIFY(plist.setFileTime(old, QFileDevice::FileModificationTime));
        plist.close();

        const auto timed = LibraryScanner::observationWithModificationTime(bundle);
        QVERIFY(timed.has_value());
        QCOMPARE(timed->observation, (InstalledObservation {u"com.example.game"_qs, 3, u"3"_qs}));
        QVERIFY(timed->mtime.has_value());
        QCOMPARE(*timed->mtime, QFileInfo(bundle).lastModified());
        QVERIFY(*timed->mtime != old);

        writeBundle(folder, u"Bad.app"_qs, info("com.example.bad", "x", "3"));
        QCOMPARE(LibraryScanner::observationWithModificationTime(folder + u"/Bad.app"_qs), std::nullopt);
    }

    void buildNumberGrammar_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<qint64>>("expected");
        const auto none = std::optional<qint64>();
        QTest::newRow("plain") << u"42"_qs << std::optional<qint64>(42);
        QTest::newRow("plus") << u"+42"_qs << std::optional<qint64>(42);
        QTest::newRow("minus") << u"-42"_qs << std::optional<qint64>(-42);
        QTest::newRow("leading zeros") << u"007"_qs << std::optional<qint64>(7);
        QTest::newRow("largest") << u"9223372036854775807"_qs
                                 << std::optional<qint64>(std::numeric_limits<qint64>::max());
        QTest::newRow("smallest") << u"-9223372036854775808"_qs
                                  << std::optional<qint64>(std::numeric_limits<qint64>::min());
        QTest::newRow("too large") << u"9223372036854775808"_qs << none;
        QTest::newRow("too small") << u"-9223372036854775809"_qs << none;
        QTest::newRow("far too large") << u"99999999999999999999"_qs << none;
        QTest::newRow("empty") << QString() << none;
        QTest::newRow("sign only") << u"-"_qs << none;
        QTest::newRow("two signs") << u"+-1"_qs << none;
        QTest::newRow("dotted") << u"1.0"_qs << none;
        QTest::newRow("letter") << u"12a"_qs << none;
        QTest::newRow("leading blank") << u" 7"_qs << none;
        QTest::newRow("trailing blank") << u"7 "_qs << none;
        QTest::newRow("non-ASCII digits") << u"\u0661\u0662"_qs << none;
        QTest::newRow("full-width digit") << u"\uFF17"_qs << none;
    }

    void buildNumberGrammar()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<qint64>, expected);
        const auto parsed = LibraryScanner::parseBuildNumber(text);
        QCOMPARE(parsed.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(qint64(*parsed), *expected);
    }

    void keyedByBundleId_data()
    {
        QTest::addColumn<QList<InstalledApp>>("apps");
        QTest::addColumn<QList<InstalledApp>>("winners");
        const auto app = [](const char *path, const char *id, qint64 build, const char *shortVersion) {
            return InstalledApp {QString::fromUtf8(path),
                                 {QString::fromUtf8(id), build, QString::fromUtf8(shortVersion)}};
        };
        const InstalledApp low = app("/games/A.app", "com.x", 7, "7");
        const InstalledApp high = app("/games/Z.app", "com.x", 9, "9");
        const InstalledApp b = app("/Users/a/Applications/Vantry/B.app", "com.y", 5, "b");
        const InstalledApp a = app("/Users/a/Applications/Vantry/A.app", "com.y", 5, "a");
        const InstalledApp same = app("/Users/a/Applications/Vantry/./A.app/", "com.y", 5, "a again");
        const InstalledApp other = app("/games/Other.app", "com.other", 1, "1");
        QTest::newRow("higher build later") << QList {low, high, other} << QList {high, other};
        QTest::newRow("higher build first") << QList {high, other, low} << QList {high, other};
        QTest::newRow("equal builds, smaller path later") << QList {b, a} << QList {a};
        QTest::newRow("equal builds, smaller path first") << QList {a, b} << QList {a};
        QTest::newRow("same canonical path keeps the first") << QList {a, same} << QList {a};
        QTest::newRow("same canonical path, other order") << QList {same, a} << QList {same};
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
