#include <vantry/BuildConfig.h>

#include "ToolTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace vantry;

namespace {

test::ToolRun ditto(const QString &source, const QString &destination)
{
    return test::runTool(QString::fromUtf8(BuildConfig::dittoPath), {source, destination});
}

// What a faithful copy keeps of one item: kind, mode, content or link target, modification time
// to the nanosecond, user attributes. `mode` is 0 for a link, where it means nothing.
struct Item {
    char kind = '?';
    mode_t mode = 0;
    QByteArray data;
    timespec mtime {};
    QMap<QByteArray, QByteArray> attributes;

    friend bool operator==(const Item &a, const Item &b)
    {
        return a.kind == b.kind && a.mode == b.mode && a.data == b.data &&
               a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
               a.attributes == b.attributes;
    }
};

Item itemAt(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status {
    };
    if (::lstat(native.constData(), &status) != 0)
        return {};
    Item item {S_ISDIR(status.st_mode)   ? 'd'
               : S_ISLNK(status.st_mode) ? 'l'
                                         : 'f',
               status.st_mode & 07777,
               {},
               status.st_mtim,
               test::userAttributes(path)};
    if (item.kind == 'l') {
        item.mode = 0;
        item.data.resize(4096);
        item.data.truncate(
            qMax<ssize_t>(0, ::readlink(native.constData(), item.data.data(), 4096)));
    } else if (item.kind == 'f') {
        QFile file(path);
        item.data = file.open(QIODevice::ReadOnly) ? file.readAll() : "(unreadable)";
    }
    return item;
}

// Every item of a tree by its path relative to the root (the root itself is ""), links not
// followed.
QMap<QString, Item> snapshot(const QString &root)
{
    QMap<QString, Item> tree {{QString(), itemAt(root)}};
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(path.mid(root.size() + 1), itemAt(path));
    }
    return tree;
}

bool setTime(const QString &path, timespec time)
{
    const timespec times[2] = {time, time};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) ==
           0;
}

// Writes `bytes` at `at` in `path`, made if need be: what was never written before is a hole.
bool writeAt(const QByteArray &path, const QByteArray &bytes, off_t at)
{
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    const bool written = ::pwrite(fd, bytes.constData(), size_t(bytes.size()), at) == bytes.size();
    return ::close(fd) == 0 && written;
}

ino_t inode(const QByteArray &path)
{
    struct stat status = {};
    return ::lstat(path.constData(), &status) == 0 ? status.st_ino : 0;
}

} // namespace

class DittoToolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aTreeIsCopiedFaithfully()
    {
        test::TestHome home;
        const QString source = home.scratch(u"Source.app"_qs);
        // Larger than any one read, and no multiple of a power of two.
        QByteArray program(700 * 1024 + 12, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(program.data()),
                                              program.size() / 4);
        QVERIFY(test::put(source + u"/Contents/MacOS/Game"_qs, program, 0755));
        QVERIFY(test::put(source + u"/Contents/MacOS/set-ID helper"_qs, "#!/bin/sh\n", 06755));
        QVERIFY(test::put(source + u"/Contents/Info.plist"_qs, "<plist/>", 0640));
        QVERIFY(test::put(source + u"/Contents/Locked/a/b/read only"_qs, {}, 0444));
        QVERIFY(QFile::link(u"Contents/MacOS"_qs, source + u"/Current"_qs));
        QVERIFY(QFile::link(u"../nowhere"_qs, source + u"/Contents/dangling"_qs));
        QVERIFY(test::setAttribute(source, "user.com.apple.quarantine", "0081;65a1b2c3;Vantry;"));
        QVERIFY(test::setAttribute(source + u"/Contents/MacOS"_qs, "user.binary",
                                   QByteArray("\x00\xff", 2)));
        // Every item its own time in the past, with nanoseconds; a folder made read-only last.
        timespec time {1000000000, 123456789};
        for (const QString &relative : snapshot(source).keys()) {
            time.tv_sec += 1000;
            time.tv_nsec += 1001;
            QVERIFY(setTime(relative.isEmpty() ? source : source + u'/' + relative, time));
        }
        QVERIFY(QFile::setPermissions(source + u"/Contents/Locked"_qs,
                                      QFile::ReadOwner | QFile::ExeOwner));
        const auto original = snapshot(source);

        const QString destination = home.scratch(u"Staged.app"_qs);
        const auto run = ditto(source, destination);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.status, 0);

        // Exactly the source, except the set-ID bits, which a copy never grants.
        auto expected = original;
        expected[u"Contents/MacOS/set-ID helper"_qs].mode = 0755;
        const auto copy = snapshot(destination);
        QCOMPARE(copy.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(copy.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(snapshot(source) == original);
        QVERIFY(QFile::setPermissions(source + u"/Contents/Locked"_qs,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QFile::setPermissions(destination + u"/Contents/Locked"_qs,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    void aFileOrALinkAloneIsCopiedAsWhatItIs()
    {
        test::TestHome home;
        const QString file = home.scratch(u"file"_qs);
        const QString link = home.scratch(u"link"_qs);
        QVERIFY(test::put(file, "content", 0751));
        QVERIFY(setTime(file, {1234567890, 42}));
        QVERIFY(QFile::link(u"file"_qs, link));
        QVERIFY(setTime(link, {1111111111, 7}));
        for (const QString &source : {file, link}) {
            QCOMPARE(ditto(source, source + u" copy"_qs).status, 0);
            QVERIFY(itemAt(source + u" copy"_qs) == itemAt(source));
        }
    }

    void whatCannotBeCopiedSafelyIsRefused()
    {
        test::TestHome home;
        const QString source = home.scratch(u"Source.app"_qs);
        QVERIFY(test::put(source + u"/Contents/Info.plist"_qs, "<plist/>"));
        const QString folder = home.scratch(u"existing folder"_qs);
        const QString dangling = home.scratch(u"dangling"_qs);
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::link(u"nowhere"_qs, dangling));

        // An existing destination is never merged into, overwritten or followed.
        for (const QString &from : {source, source + u"/Contents/Info.plist"_qs}) {
            for (const QString &to : {folder, dangling}) { // an existing file goes the same way
                const auto before = snapshot(to);
                const auto run = ditto(from, to);
                QCOMPARE(run.status, 1);
                QVERIFY2(run.err.contains(QFile::encodeName(to)), run.err.constData());
                QVERIFY(snapshot(to) == before);
            }
        }
        QVERIFY(!QFileInfo::exists(home.scratch(u"nowhere"_qs)));

        // No parent, no source, or a folder copied into itself.
        const std::pair<QString, QString> impossible[] = {
            {source, home.scratch(u"missing/Staged.app"_qs)},
            {home.scratch(u"absent"_qs), home.scratch(u"Staged.app"_qs)},
            {source, source + u"/Contents/Inside.app"_qs},
        };
        for (const auto &[from, to] : impossible) {
            const auto run = ditto(from, to);
            QCOMPARE(run.status, 1);
            QVERIFY(run.err.startsWith("ditto: "));
            QVERIFY(!QFileInfo::exists(to));
        }
        QCOMPARE(test::runTool(QString::fromUtf8(BuildConfig::dittoPath), {source}).status, 2);
    }

    void aCopyIntoASmallFileSystem_data()
    {
        // A file of this many bytes and a second link to it, and a 64 MiB file of 4, into 1 MiB.
        QTest::addColumn<int>("data");
        QTest::addColumn<bool>("fits");
        QTest::newRow("more data than room is refused") << (2 << 20) << false;
        QTest::newRow("holes and hard links take only their room") << (600 << 10) << true;
    }

    void aCopyIntoASmallFileSystem()
    {
        QFETCH(int, data);
        QFETCH(bool, fits);
        if (::geteuid() != 0)
            QSKIP("a small file system to copy into can only be mounted by root");
        test::TestHome home;
        const QString source = home.scratch(u"Source.app"_qs), small = home.scratch(u"small"_qs);
        const QString copy = small + u"/Copy.app"_qs;
        const QByteArray from = QFile::encodeName(source), to = QFile::encodeName(copy);
        const auto tidy = test::removeAtEnd(from);
        QVERIFY(QDir().mkpath(source) && QDir().mkpath(small));
        QVERIFY(writeAt(from + "/data", QByteArray(data, 'x'), 0) &&
                ::link((from + "/data").constData(), (from + "/\xff again").constData()) == 0);
        QVERIFY(writeAt(from + "/sparse", "data", 32 << 20) &&
                QFile::resize(source + u"/sparse"_qs, 64 << 20));
        // In a mount namespace of this process's own, the file system goes with the process.
        if (::unshare(CLONE_NEWNS) != 0)
            QSKIP("this process may not have a mount namespace of its own");
        QVERIFY(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                ::mount("none", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1M") == 0);
        const auto unmount =
            qScopeGuard([&] { ::umount2(QFile::encodeName(small).constData(), MNT_DETACH); });
        const auto run = ditto(source, copy);
        QVERIFY2(fits || run.err.contains("not enough free space"), run.err.constData());
        QCOMPARE(run.status, fits ? 0 : 1);
        QCOMPARE(QFileInfo::exists(copy), fits); // when it does not fit, nothing at all is written
        QVERIFY(!fits ||
                (inode(to + "/data") == inode(to + "/\xff again") &&
                 itemAt(copy + u"/sparse"_qs).data == itemAt(source + u"/sparse"_qs).data));
    }

    void aFolderSwappedForALinkMidCopyIsNotFollowed()
    {
        test::TestHome home;
        const QString source = home.scratch(u"Game"_qs), outside = home.scratch(u"outside"_qs);
        QVERIFY(QDir().mkpath(source + u"/Contents"_qs) && QDir().mkpath(outside) &&
                QFile::link(outside, source + u"/decoy"_qs));
        QVERIFY(test::put(outside + u"/secret"_qs, "private"));
        const auto run = test::runSwapping("Contents/decoy", {source, source + u" copy"_qs});
        QVERIFY(!QFileInfo::exists(source + u" copy/Contents/secret"_qs));
        QVERIFY2(run.err.contains("Contents: changed while"), run.err.constData());
        QCOMPARE(run.status, 1);
    }

    void aFifoIsRefusedWithoutWaitingForIt()
    {
        // Devices and sockets take the same way out.
        test::TestHome home;
        const QString tree = home.scratch(u"fifo"_qs);
        QVERIFY(QDir().mkpath(tree));
        QVERIFY(::mkfifo(QFile::encodeName(tree + u"/special"_qs).constData(), 0644) == 0);
        const auto run = ditto(tree, tree + u" copy"_qs);
        QCOMPARE(run.status, 1); // and not -1: opening the fifo would have hung
        QVERIFY2(run.err.contains(QFile::encodeName(tree + u"/special"_qs)), run.err.constData());
        QVERIFY(!QFileInfo::exists(tree + u" copy/special"_qs));
    }
};

QTEST_GUILESS_MAIN(DittoToolTest)
#include "DittoToolTest.moc"
