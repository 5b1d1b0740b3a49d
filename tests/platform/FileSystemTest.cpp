#include <platform/FileSystem.h>

#include <support/TestHome.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace vantry;

namespace {

template<typename T>
int errorOf(const Expected<T, SystemError> &result)
{
    return result ? 0 : result.error().code;
}

} // namespace

class FileSystemTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp;
    QString m_root; // holds deep/real and link -> deep/real

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        m_root = QFileInfo(m_temp.path()).canonicalFilePath();
        QVERIFY(QDir().mkpath(m_root + u"/deep/real/Game.app"_qs));
        QVERIFY(QFile::link(m_root + u"/deep/real"_qs, m_root + u"/link"_qs));
    }

    void canonicalPath_data()
    {
        QTest::addColumn<QString>("path"); // "@" stands for the temporary root
        QTest::addColumn<QString>("expected");
        QTest::newRow("slashes") << u"/nonexistent-vantry//X.app//"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("dots") << u"/nonexistent-vantry/./a/../X.app"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("the root stays") << u"//."_qs << u"/"_qs;
        QTest::newRow("a link") << u"@/link/Game.app/"_qs << u"@/deep/real/Game.app"_qs;
        // A copy that is gone still has one: links resolve as far as the path exists.
        QTest::newRow("a link, then what is gone") << u"@/link/gone/../Gone.app"_qs << u"@/deep/real/Gone.app"_qs;
        // Links are resolved before ".." is taken away, so ".." leaves the link's target.
        QTest::newRow("a link, then ..") << u"@/link/.."_qs << u"@/deep"_qs;
    }

    void canonicalPath()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(FileSystem::canonicalPath(path.replace(u'@', m_root)), expected.replace(u'@', m_root));
    }

    void anExplicitModeIsMeantExactly()
    {
        test::TestHome home;
        const mode_t old = ::umask(077);
        const bool made = FileSystem::makeDirectories(home.scratch(u"a/b"_qs), 0755) &&
                          FileSystem::makeDirectories(home.scratch(u"plain"_qs));
        ::umask(old);
        QVERIFY(made);
        QCOMPARE(*FileSystem::permissions(home.scratch(u"a"_qs)), mode_t(0755));
        QCOMPARE(*FileSystem::permissions(home.scratch(u"a/b"_qs)), mode_t(0755));
        QCOMPARE(*FileSystem::permissions(home.scratch(u"plain"_qs)), mode_t(0700)); // no mode: the umask rules

        // An existing folder is left as it is.
        QVERIFY(FileSystem::makeDirectories(home.scratch(u"a"_qs), 0700));
        QCOMPARE(*FileSystem::permissions(home.scratch(u"a"_qs)), mode_t(0755));
    }

    void atomicWritesReplaceWholeFilesWithTheirMode()
    {
        test::TestHome home;
        const QString path = home.scratch(u"file"_qs);
        QVERIFY(FileSystem::writeFileAtomically(path, "first"));
        QCOMPARE(*FileSystem::permissions(path), mode_t(0644));
        QVERIFY(FileSystem::writeFileAtomically(path, "second", 0640));
        QCOMPARE(*FileSystem::permissions(path), mode_t(0640));
        QCOMPARE(*FileSystem::readFile(path), QByteArray("second"));
        // Nothing of the temporary file is left beside it.
        QCOMPARE(QDir(home.scratch(QString())).entryList(QDir::Files | QDir::Hidden), QStringList{u"file"_qs});

        QCOMPARE(errorOf(FileSystem::writeFileAtomically(home.scratch(u"missing/file"_qs), "x")), ENOENT);
        QCOMPARE(errorOf(FileSystem::readFile(home.scratch(u"missing/file"_qs))), ENOENT);
        QCOMPARE(errorOf(FileSystem::readFile(home.home())), EISDIR);
    }

    void newFilesAndMovesNeverReplace()
    {
        test::TestHome home;
        const QString path = home.scratch(u"key"_qs);
        const QString other = home.scratch(u"other"_qs);
        QVERIFY(FileSystem::writeNewFile(path, "first", 0600));
        QVERIFY(FileSystem::writeNewFile(other, "other", 0600));
        QCOMPARE(errorOf(FileSystem::writeNewFile(path, "second", 0600)), EEXIST);
        QCOMPARE(errorOf(FileSystem::moveNoReplace(other, path)), EEXIST);
        QCOMPARE(*FileSystem::readFile(path), QByteArray("first"));
        QVERIFY(FileSystem::moveNoReplace(other, home.scratch(u"moved"_qs)));
        QCOMPARE(*FileSystem::readFile(home.scratch(u"moved"_qs)), QByteArray("other"));
        QVERIFY(!QFile::exists(other));
    }

    void smallFilesOthersControl_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qsizetype>("limit");
        QTest::addColumn<bool>("followLink");
        QTest::addColumn<int>("error"); // 0: read in full
        QTest::newRow("at the limit") << u"file"_qs << qsizetype(5) << false << 0;
        QTest::newRow("past the limit") << u"file"_qs << qsizetype(4) << false << EFBIG;
        QTest::newRow("a link refused") << u"link"_qs << qsizetype(5) << false << ELOOP;
        QTest::newRow("a link followed") << u"link"_qs << qsizetype(5) << true << 0;
        QTest::newRow("a FIFO") << u"fifo"_qs << qsizetype(5) << true << EINVAL;
        QTest::newRow("a folder") << QString() << qsizetype(5) << true << EISDIR;
    }

    void smallFilesOthersControl()
    {
        QFETCH(QString, name);
        QFETCH(qsizetype, limit);
        QFETCH(bool, followLink);
        QFETCH(int, error);
        test::TestHome home;
        QVERIFY(FileSystem::writeNewFile(home.scratch(u"file"_qs), "bytes", 0644));
        QVERIFY(QFile::link(home.scratch(u"file"_qs), home.scratch(u"link"_qs)));
        QCOMPARE(::mkfifo(QFile::encodeName(home.scratch(u"fifo"_qs)).constData(), 0644), 0);

        const auto read = FileSystem::readSmallFile(home.scratch(name), limit,
                                                    followLink ? FileSystem::LastLink::follow : FileSystem::LastLink::refuse);
        QCOMPARE(errorOf(read), error);
        if (read)
            QCOMPARE(*read, QByteArray("bytes"));
    }
};

QTEST_GUILESS_MAIN(FileSystemTest)
#include "FileSystemTest.moc"
