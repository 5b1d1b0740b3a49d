#include <vantry/BuildConfig.h>

#include "ToolTestSupport.h"

#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace vantry;

namespace {

constexpr char quarantine[] = "user.com.apple.quarantine";
const QByteArray stamp = "0081;65a1b2c3;Vantry;";

test::ToolRun xattr(const QString &option, const QString &name, const QString &path)
{
    return test::runTool(QString::fromUtf8(BuildConfig::xattrPath), {option, name, path});
}

// The immutable flag keeps even root from changing a file's attributes.
bool setImmutable(const QString &path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

} // namespace

class XattrToolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theProbePrintsTheValueOrFails()
    {
        test::TestHome home;
        const QString bundle = home.scratch(u"Game.app"_qs);
        QVERIFY(QDir().mkpath(bundle));
        QVERIFY(test::setAttribute(bundle, "user.com.example.other", "x"));
        auto run = xattr(u"-p"_qs, u"com.apple.quarantine"_qs, bundle);
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(QString::fromUtf8(run.err),
                 u"xattr: %1: No such xattr: com.apple.quarantine\n"_qs.arg(bundle));

        QVERIFY(test::setAttribute(bundle, quarantine, stamp));
        run = xattr(u"-p"_qs, u"com.apple.quarantine"_qs, bundle);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, stamp + '\n');
        QCOMPARE(run.err, QByteArray());

        // A value that is no text is shown in hex rather than written raw.
        QVERIFY(test::setAttribute(bundle, "user.binary", QByteArray("\x00\x01\xff", 3)));
        QCOMPARE(xattr(u"-p"_qs, u"binary"_qs, bundle).out, QByteArray("00 01 FF\n"));
        QCOMPARE(xattr(u"-p"_qs, u"com.apple.quarantine"_qs, home.scratch(u"absent"_qs)).status, 1);
    }

    void recursiveDeleteStripsTheTreeButNotWhatLinksLeadTo()
    {
        test::TestHome home;
        const QString root = home.scratch(u"Game.app"_qs);
        const QString outside = home.scratch(u"outside"_qs);
        const QStringList folders = {root, root + u"/Contents"_qs, root + u"/Contents/a/b/c"_qs,
                                     outside};
        const QStringList files = {root + u"/Contents/Info.plist"_qs,
                                   root + u"/Contents/a/b/c/deep file"_qs, outside + u"/inside"_qs};
        for (const QString &folder : folders)
            QVERIFY(QDir().mkpath(folder));
        for (const QString &file : files)
            QVERIFY(test::writeFile(file, {}));
        QVERIFY(QFile::link(outside, root + u"/Contents/linked folder"_qs));
        QVERIFY(QFile::link(outside + u"/inside"_qs, root + u"/Contents/linked file"_qs));
        for (const QString &path : folders + files)
            QVERIFY(test::setAttribute(path, quarantine, stamp));
        QVERIFY(test::setAttribute(root + u"/Contents/Info.plist"_qs, "user.kept", "stays"));

        // Twice: the second time there is nothing left to remove, which is no error.
        for (int round = 0; round < 2; ++round) {
            const auto run = xattr(u"-rd"_qs, u"com.apple.quarantine"_qs, root);
            QCOMPARE(run.status, 0);
            QCOMPARE(run.err, QByteArray());
        }
        for (const QString &path : folders + files)
            QVERIFY2(test::attribute(path, quarantine).has_value() == path.startsWith(outside),
                     qPrintable(path));
        QCOMPARE(test::attribute(root + u"/Contents/Info.plist"_qs, "user.kept"),
                 std::optional<QByteArray>("stays"));

        // A link given as the path is not followed either.
        QCOMPARE(xattr(u"-rd"_qs, u"com.apple.quarantine"_qs, root + u"/Contents/linked folder"_qs)
                     .status,
                 0);
        QVERIFY(test::attribute(outside, quarantine));
        QCOMPARE(xattr(u"-rd"_qs, u"com.apple.quarantine"_qs, home.scratch(u"absent"_qs)).status,
                 1);
    }

    void anAttributeThatCannotBeRemovedFailsTheDelete()
    {
        test::TestHome home;
        const QString root = home.scratch(u"Game.app"_qs);
        const QString stuck = root + u"/stuck"_qs;
        QVERIFY(QDir().mkpath(root));
        QVERIFY(test::writeFile(stuck, {}));
        QVERIFY(test::setAttribute(root, quarantine, stamp));
        QVERIFY(test::setAttribute(stuck, quarantine, stamp));
        if (!setImmutable(stuck, true))
            QSKIP("this file system or process cannot make a file immutable");
        const auto run = xattr(u"-rd"_qs, u"com.apple.quarantine"_qs, root);
        QVERIFY(setImmutable(stuck, false));
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(QFile::encodeName(stuck)), run.err.constData());
        QVERIFY(test::attribute(stuck, quarantine));
        QVERIFY(!test::attribute(root, quarantine)); // the rest was still done
    }

    void otherCommandLinesAreUsageErrors()
    {
        const QString path = QDir::tempPath();
        for (const QStringList &arguments :
             {QStringList {}, QStringList {u"-p"_qs, u"name"_qs},
              QStringList {u"-d"_qs, u"name"_qs, path}, QStringList {u"-p"_qs, QString(), path},
              QStringList {u"-rd"_qs, u"name"_qs, path, path}}) {
            const auto run = test::runTool(QString::fromUtf8(BuildConfig::xattrPath), arguments);
            QCOMPARE(run.status, 2);
            QVERIFY(run.err.startsWith("usage: xattr"));
        }
    }
};

QTEST_GUILESS_MAIN(XattrToolTest)
#include "XattrToolTest.moc"
