#include <vantry/BuildConfig.h>

#include "ToolTestSupport.h"

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
    void recursiveDeleteStripsTheTreeButNotWhatLinksLeadTo()
    {
        test::TestHome home;
        const QString root = home.scratch(u"Game.app"_qs);
        const QString outside = home.scratch(u"outside"_qs);
        const QStringList folders = {root, root + u"/Contents"_qs, root + u"/Contents/a/b/c"_qs,
                                     outside};
        const QStringList files = {root + u"/Contents/Info.plist"_qs,
                                   root + u"/Contents/a/b/c/deep file"_qs, outside + u"/inside"_qs};
        for (const QString &file : files) // and so their folders
            QVERIFY(test::put(file, {}));
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

        QCOMPARE(xattr(u"-rd"_qs, u"com.apple.quarantine"_qs, home.scratch(u"absent"_qs)).status,
                 1);
    }

    void anAttributeThatCannotBeRemovedFailsTheDelete()
    {
        test::TestHome home;
        const QString root = home.scratch(u"Game.app"_qs);
        const QString stuck = root + u"/stuck"_qs;
        QVERIFY(test::put(stuck, {}));
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

    void awkwardInputEndsOrIsEscaped_data()
    {
        QTest::addColumn<QStringList>("arguments"); // '@' stands for the test's folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output"); // standard output, then standard error
        QTest::addColumn<bool>("strips");       // the mark of "@/tree/\xff name"
        const QString name(251, u'n'), mark = u"com.apple.quarantine"_qs;
        const auto row = [](const char *tag, const QStringList &arguments, int status,
                            const QByteArray &output, bool strips = false) {
            QTest::newRow(tag) << arguments << status << output << strips;
        };
        row("the value", {u"-p"_qs, mark, u"@/plain"_qs}, 0, stamp + '\n');
        row("a name too long", {u"-p"_qs, name, u"@/plain"_qs}, 1,
            "xattr: " + name.toLatin1() + ": attribute name too long\n");
        row("controls in a value", {u"-p"_qs, u"controls"_qs, u"@/plain"_qs}, 0, "61 0A 62 7F\n");
        row("a C1 control in a value", {u"-p"_qs, u"c1"_qs, u"@/plain"_qs}, 0, "C2 9B 78\n");
        row("control bytes in a name", {u"-p"_qs, u"\x1b[2J"_qs, u"@/plain"_qs}, 1,
            "xattr: @/plain: No such xattr: \\x1B[2J\n");
        row("control bytes in a path", {u"-p"_qs, u"x"_qs, u"@/\x01\x7f"_qs}, 1,
            "xattr: No such file: @/\\x01\\x7F\n");
        row("a name that is not UTF-8 in the tree", {u"-rd"_qs, mark, u"@/tree"_qs}, 0, "", true);
        row("a link to a folder, with a slash", {u"-rd"_qs, mark, u"@/link/"_qs}, 0, "");
    }

    void awkwardInputEndsOrIsEscaped()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, output);
        test::TestHome home;
        const QString folder = home.scratch(u"awkward"_qs);
        const QByteArray odd = QFile::encodeName(folder) + "/tree/\xff name";
        const auto tidy = test::removeAtEnd(QFile::encodeName(folder));
        QVERIFY(QDir().mkpath(folder + u"/plain"_qs) && QDir().mkpath(folder + u"/tree"_qs) &&
                QFile::link(u"plain"_qs, folder + u"/link"_qs));
        QVERIFY(::close(::open(odd.constData(), O_CREAT | O_WRONLY, 0644)) == 0 &&
                ::lsetxattr(odd.constData(), quarantine, stamp.constData(), stamp.size(), 0) == 0);
        QVERIFY(test::setAttribute(folder + u"/plain"_qs, quarantine, stamp) &&
                test::setAttribute(folder + u"/plain"_qs, "user.c1", "\xc2\x9bx") &&
                test::setAttribute(folder + u"/plain"_qs, "user.controls", "a\nb\x7f"));
        arguments.replaceInStrings(u"@"_qs, folder);
        const auto run = test::runTool(QString::fromUtf8(BuildConfig::xattrPath), arguments);
        QCOMPARE(run.out + run.err, output.replace('@', QFile::encodeName(folder)));
        QTEST(run.status, "status");
        QVERIFY(test::attribute(folder + u"/plain"_qs, quarantine));
        QTEST(::lgetxattr(odd.constData(), quarantine, nullptr, 0) < 0, "strips");
    }

    void aFolderSwappedForALinkMidWalkIsNotFollowed()
    {
        test::TestHome home;
        const QString root = home.scratch(u"Game"_qs), outside = home.scratch(u"outside"_qs);
        QVERIFY(QDir().mkpath(root + u"/Contents"_qs) && QDir().mkpath(outside) &&
                QFile::link(outside, root + u"/decoy"_qs));
        QVERIFY(test::setAttribute(outside, quarantine, stamp));
        const auto run =
            test::runSwapping("Contents/decoy", {u"-rd"_qs, u"com.apple.quarantine"_qs, root});
        QVERIFY(test::attribute(outside, quarantine));
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains("Contents: changed while"), run.err.constData());
    }

    void otherCommandLinesAreUsageErrors()
    {
        const QString path = QDir::tempPath();
        for (const QStringList &arguments :
             {QStringList {u"-rd"_qs, u"name"_qs, path, path},
              QStringList {u"-d"_qs, u"name"_qs, path}, QStringList {u"-p"_qs, QString(), path}}) {
            const auto run = test::runTool(QString::fromUtf8(BuildConfig::xattrPath), arguments);
            QCOMPARE(run.status, 2);
            QVERIFY(run.err.startsWith("usage: xattr"));
        }
    }
};

QTEST_GUILESS_MAIN(XattrToolTest)
#include "XattrToolTest.moc"
