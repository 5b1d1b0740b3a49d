#include <copies/LibraryScanner.h>
#include <copies/UninstallService.h>
#include <platform/FileSystem.h>
#include <support/InfoPlist.h>
#include <support/TestHome.h>

#include <QDir>
#include <QTest>
#include <QUrl>

#include <sys/mount.h>
#include <unistd.h>

using namespace vantry;
using Result = CopyRemovalResult;
using R = RemovalRefusal;
static const QString gameId = u"com.example.game"_qs;

struct RefusalRow { RemovalFacts facts; std::optional<R> expected; const char *text = ""; }; // %1: identity

static InstallCopy copyAt(const QString &path) { return {path, {gameId, 1, u"1"_qs}, InstallCopy::Origin::adopted, 1, 1}; }

static QString bundle(const QString &folder, const char *name, const char *id = "com.example.game")
{
    const QString path = folder + u'/' + QString::fromUtf8(name) + u".app"_qs;
    const bool made = test::put(path + u"/Contents/Info.plist"_qs, test::infoPlist(id, "1", "1").toXml());
    return made ? FileSystem::canonicalPath(path) : QString();
}

class UninstallTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theFirstFailingRuleRefuses_data()
    {
        QTest::addColumn<RefusalRow>("row");
        const QString app = u"/G.app"_qs, other = u"com.other"_qs;
        const char *notOurs = "the path is not one discovery returned for this title";
        const char *mismatch = "the copy now identifies as a different app (%1)";
        QTest::newRow("running") << RefusalRow {{u"/X"_qs, true, false, {}, false}, R::running(), "the game is running"};
        QTest::newRow("not .app") << RefusalRow {{u"/G.App"_qs, false, true, gameId, true}, R::notACandidate(), notOurs};
        QTest::newRow("not known") << RefusalRow {{app, false, false, {}, false}, R::notACandidate(), notOurs};
        QTest::newRow("no identity") << RefusalRow {{app, false, true, {}, false}, R::identityMismatch({}), mismatch};
        QTest::newRow("other game") << RefusalRow {{app, false, true, other, false}, R::identityMismatch(other), mismatch};
        const char *readOnly = "the copy is not writable by you";
        QTest::newRow("read-only") << RefusalRow {{app, false, true, gameId, false}, R::notWritable(), readOnly};
        QTest::newRow("may go") << RefusalRow {{app, false, true, gameId, true}, {}};
    }
    void theFirstFailingRuleRefuses()
    {
        QFETCH(RefusalRow, row);
        const auto refusal = UninstallModel::refusal(row.facts, gameId);
        QCOMPARE(refusal, row.expected);
        const QString found = row.facts.identity.value_or(u"no bundle identifier"_qs);
        QCOMPARE(refusal ? refusal->userFacingDescription() : QString(), QString::fromUtf8(row.text).replace(u"%1"_qs, found));
    }

    void dataPathsNeverReachBeyondTheGame()
    {
        const auto paths = [](const QString &id, const char *data = "/d/") {
            const UserLibrary library {u"/c"_qs, QString::fromUtf8(data), u"/v"_qs};
            return UninstallModel::userDataPaths(id, library, u"com.vantry.launcher"_qs);
        };
        QCOMPARE(paths(gameId), (QStringList {u"/c/"_qs + gameId, u"/d/"_qs + gameId, u"/v/"_qs + gameId}));
        QCOMPARE(paths(gameId, "d"), (QStringList {u"/c/"_qs + gameId, u"/v/"_qs + gameId}));
        const QString nul = u"com.x"_qs + QChar(u'\0') + u"y"_qs;
        for (const QString &id : {QString(), u"a/b"_qs, u"."_qs, u".."_qs, u"com.vantry.launcher"_qs, nul,
                                  u"Vantry"_qs, u"vANTRY"_qs})
            QVERIFY2(paths(id).isEmpty(), qPrintable(id));
    }

    void onlyNonCurrentCopiesOfTheGameAndExistingDataGo()
    {
        test::TestHome home;
        const QString games = home.home() + u"/Games"_qs;
        const QString current = bundle(games, "Current"), kept = bundle(games, "Kept"), stuck = bundle(games, "Stuck"),
                      replaced = bundle(games, "Replaced", "com.other"), stranger = bundle(games, "Stranger");
        const QList<InstallCopy> copies {copyAt(current), copyAt(kept), copyAt(replaced), copyAt(stuck)};
        Catalog::Entry entry;
        entry.bundleId = gameId;
        QStringList trashed;
        const auto trash = [&](const QString &path) -> Expected<void, QString> {
            trashed.append(path);
            return path == stuck ? Expected<void, QString>(unexpected(u"disk on fire"_qs)) : Expected<void, QString>();
        };
        const auto remove = [&](const QList<InstallCopy> &some, bool running) {
            const auto isRunning = [running](const QString &) { return running; };
            return UninstallService::removeNonCurrentCopies(entry, {copies[0], copies}, some, isRunning, trash);
        };
        QCOMPARE(remove(copies + QList {copyAt(stranger)}, false),
                 (QList<Result> {{current, R::notACandidate()}, {kept, Result::Trashed {}},
                                 {replaced, R::identityMismatch(u"com.other"_qs)},
                                 {stuck, Result::TrashFailed {u"disk on fire"_qs}}, {stranger, R::notACandidate()}}));
        const Result::Outcome running = R::running();
        QCOMPARE(remove(copies.mid(1), true), (QList<Result> {{kept, running}, {replaced, running}, {stuck, running}}));
        QCOMPARE(trashed, (QStringList {kept, stuck}));

        // Saved data: a link is an item of its own, wherever it leads.
        const QString config = home.home() + u"/.config/"_qs + gameId, data = home.home() + u"/.local/share/"_qs + gameId;
        QVERIFY(QDir().mkpath(config) && QDir().mkpath(QFileInfo(data).path()) && QFile::link(u"/nowhere"_qs, data));
        const UserLibrary library = UninstallService::defaultUserLibrary();
        QCOMPARE(UninstallService::existingUserDataPaths(gameId, library, {}), (QStringList {config, data}));
    }

    // The only test that reaches GIO, which keeps the first home it sees for the whole process.
    void anItemGoesToTheTrashOfItsOwnVolumeOrStays()
    {
        test::TestHome home;
        const QString item = bundle(home.home() + u"/Games"_qs, "Café Noir");
        const QString trash = home.home() + u"/.local/share/Trash/"_qs;
        QVERIFY(UninstallService::trashToSystemTrash(item));
        QFile info(trash + u"info/Café Noir.app.trashinfo"_qs);
        QVERIFY(!QFileInfo::exists(item) && info.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = info.readAll().split('\n');
        QCOMPARE(lines.mid(0, 2), (QList<QByteArray> {"[Trash Info]", "Path=" + QUrl::toPercentEncoding(item, "/")}));
        const QString date = QString::fromLatin1(lines.value(2));
        QVERIFY(QDateTime::fromString(date, u"'DeletionDate='yyyy-MM-dd'T'HH:mm:ss"_qs).isValid());
        QVERIFY(QDir().rename(trash + u"files/Café Noir.app"_qs, item));
        QCOMPARE(LibraryScanner::readInfoPlist(item), std::optional(test::infoPlist("com.example.game", "1", "1")));

        // A path cut short by a NUL or read from the working folder, or a home Trash that GIO no
        // longer agrees on (another home for the length of the call), moves nothing.
        for (const QString &path : {item + QChar(u'\0') + u"/Contents"_qs, QDir::current().relativeFilePath(item)})
            QVERIFY(!UninstallService::trashToSystemTrash(path));
        QVERIFY(test::TestHome().isValid() && !UninstallService::trashToSystemTrash(item));
        QVERIFY(QFileInfo::exists(item + u"/Contents/Info.plist"_qs));

        const QString volume = home.scratch(u"volume"_qs);
        if (!QDir().mkpath(volume) || ::geteuid() != 0 ||
            ::mount("tmpfs", QFile::encodeName(volume), "tmpfs", 0, "size=1m") != 0)
            QSKIP("a volume without a usable trash folder needs root to mount tmpfs");
        const QString onVolume = bundle(volume, "Game");
        const auto refused = UninstallService::trashToSystemTrash(onVolume);
        const bool stayed = QFileInfo::exists(onVolume + u"/Contents/Info.plist"_qs);
        ::umount2(QFile::encodeName(volume), MNT_DETACH);
        QVERIFY2(!refused && stayed, "the item left a volume without a trash folder");
        QVERIFY(refused.error().startsWith(onVolume + u" could not be moved to the Trash: "_qs));
    }
};

QTEST_GUILESS_MAIN(UninstallTest)
#include "UninstallTest.moc"
