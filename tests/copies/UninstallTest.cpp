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
static const QString gameId = u"com.example.game"_qs, app = u"/G.app"_qs;

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
    void refusalsAndDataPathsFollowTheRulesInOrder() // each refusal's facts also fail every later rule
    {
        const auto refusal = [](RemovalFacts facts) { return UninstallModel::refusal(facts, gameId); };
        QCOMPARE(refusal({u"/X"_qs, true, false, {}, false}), std::optional(R::running()));
        QCOMPARE(refusal({u"/G.App"_qs, false, true, gameId, true}), std::optional(R::notACandidate()));
        QCOMPARE(refusal({app, false, false, {}, false}), std::optional(R::notACandidate()));
        QCOMPARE(refusal({app, false, true, u"com.other"_qs, false}), std::optional(R::identityMismatch(u"com.other"_qs)));
        QCOMPARE(refusal({app, false, true, gameId, false}), std::optional(R::notWritable()));
        QVERIFY(!refusal({app, false, true, gameId, true}));

        const auto paths = [](const QString &id, const char *data = "/d/") {
            return UninstallModel::userDataPaths(id, {u"/c"_qs, QString::fromUtf8(data), u"/v"_qs}, u"com.vantry.launcher"_qs);
        };
        QCOMPARE(paths(gameId), (QStringList {u"/c/"_qs + gameId, u"/d/"_qs + gameId, u"/v/"_qs + gameId}));
        QCOMPARE(paths(gameId, "d"), (QStringList {u"/c/"_qs + gameId, u"/v/"_qs + gameId}));
        for (const QString &id : {QString(), u"a/b"_qs, u"."_qs, u".."_qs, u"com.vantry.launcher"_qs, u"Vantry"_qs,
                                  u"vANTRY"_qs, u"com.x"_qs + QChar(u'\0')})
            QVERIFY2(paths(id).isEmpty(), qPrintable(id));
    }

    // The only test that reaches GIO, which keeps the first home it sees for the whole process.
    void onlyNonCurrentCopiesAndExistingDataGoToTheTrashOfTheirVolume()
    {
        test::TestHome home;
        const QString current = bundle(home.home(), "Current"), kept = bundle(home.home(), "Café Noir"),
                      stuck = bundle(home.home(), "Stuck"), replaced = bundle(home.home(), "Replaced", "com.other");
        const QList<InstallCopy> copies {copyAt(current), copyAt(kept), copyAt(replaced), copyAt(stuck)};
        Catalog::Entry entry;
        entry.bundleId = gameId;
        QStringList trashed;
        const auto trash = [&](const QString &path) -> Expected<void, QString> {
            trashed.append(path);
            return path == stuck ? unexpected(u"disk on fire"_qs) : Expected<void, QString>();
        };
        const auto remove = [&](const QList<InstallCopy> &some, bool running) {
            return UninstallService::removeNonCurrentCopies(entry, {copies[0], copies}, some,
                                                            [running](const QString &) { return running; }, trash);
        };
        QCOMPARE(remove(copies, false), (QList<Result> {{current, R::notACandidate()}, {kept, Result::Trashed {}},
            {replaced, R::identityMismatch(u"com.other"_qs)}, {stuck, Result::TrashFailed {u"disk on fire"_qs}}}));
        const Result::Outcome running = R::running();
        QCOMPARE(remove(copies.mid(1), true), (QList<Result> {{kept, running}, {replaced, running}, {stuck, running}}));
        QCOMPARE(trashed, (QStringList {kept, stuck}));

        const QString config = home.home() + u"/.config/"_qs + gameId, data = home.home() + u"/.local/share/"_qs + gameId;
        QVERIFY(QDir().mkpath(config) && QDir().mkpath(QFileInfo(data).path()) && QFile::link(u"/nowhere"_qs, data));
        QCOMPARE(UninstallService::existingUserDataPaths(gameId, UninstallService::defaultUserLibrary(), {}),
                 (QStringList {config, data})); // a link is an item of its own, wherever it leads

        const QString bin = home.home() + u"/.local/share/Trash/"_qs;
        QFile info(bin + u"info/Café Noir.app.trashinfo"_qs);
        QVERIFY(UninstallService::trashToSystemTrash(kept) && !QFileInfo::exists(kept) && info.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = info.readAll().split('\n');
        QCOMPARE(lines.mid(0, 2), (QList<QByteArray> {"[Trash Info]", "Path=" + QUrl::toPercentEncoding(kept, "/")}));
        QVERIFY(QDateTime::fromString(QString::fromLatin1(lines.value(2)), u"'DeletionDate='yyyy-MM-dd'T'HH:mm:ss"_qs).isValid());
        QVERIFY(QDir().rename(bin + u"files/Café Noir.app"_qs, kept)); // restored: checked below
        // A NUL, a relative path, or a home Trash GIO no longer agrees on (another home) moves nothing.
        for (const QString &path : {kept + QChar(u'\0') + u"/Contents"_qs, QDir::current().relativeFilePath(kept)})
            QVERIFY(!UninstallService::trashToSystemTrash(path));
        QVERIFY(test::TestHome().isValid() && !UninstallService::trashToSystemTrash(kept));
        QVERIFY(QFileInfo::exists(kept + u"/Contents/Info.plist"_qs));

        const QString volume = home.scratch(u"volume"_qs);
        if (!QDir().mkpath(volume) || ::geteuid() != 0 || ::mount("tmpfs", QFile::encodeName(volume), "tmpfs", 0, "size=1m"))
            QSKIP("a volume without a usable trash folder needs root to mount tmpfs");
        const QString onVolume = bundle(volume, "Game");
        const bool stayed = !UninstallService::trashToSystemTrash(onVolume) && QFileInfo::exists(onVolume + u"/Contents/Info.plist"_qs);
        ::umount2(QFile::encodeName(volume), MNT_DETACH);
        QVERIFY2(stayed, "the item left a volume without a trash folder");
    }
};

QTEST_GUILESS_MAIN(UninstallTest)
#include "UninstallTest.moc"
