#include <support/BundleBuilder.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantry;

namespace {

const QString game = QStringLiteral(VANTRY_DEMO_GAME);

// What a row leaves at the best-score path before the game starts.
using Plant = std::function<bool(const QString &path)>;
Plant text(QByteArray bytes)
{
    return [=](const QString &p) { return test::put(p, bytes); };
}
Plant fifo()
{
    return [](const QString &p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; };
}
Plant linkTo(QByteArray bytes)
{
    return [=](const QString &p) {
        return test::put(p + u".target"_qs, bytes) && QFile::link(p + u".target"_qs, p);
    };
}

} // namespace

class DemoGameTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    QString m_bundleGame;

private Q_SLOTS:
    void initTestCase()
    {
        const auto bundle = test::BundleBuilder(u"Sweepler"_qs)
                                .setExecutableSource(game)
                                .setFramework(std::nullopt)
                                .setShortVersion(u"1.1"_qs)
                                .setSigning(test::BundleBuilder::Signing::none)
                                .build(m_home.scratch(u"games"_qs));
        QVERIFY2(bundle, qPrintable(bundle.error()));
        m_bundleGame = *bundle + u"/Contents/MacOS/Sweepler"_qs;
    }

    void icon_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        const auto icon = [](const char *colour, const char *letter) {
            return QStringList {u"--colour"_qs, QLatin1String(colour), u"--letter"_qs,
                                QLatin1String(letter)};
        };
        QTest::newRow("dark") << icon("#2E5A88", "S") << 0;
        QTest::newRow("light") << icon("#F0E060", "M") << 0;
        QTest::newRow("named colour") << icon("red", "S") << 2;
        QTest::newRow("short colour") << icon("#12345", "S") << 2;
        QTest::newRow("two letters") << icon("#2E5A88", "SM") << 2;
        QTest::newRow("no letter") << icon("#2E5A88", "S").mid(0, 2) << 2;
        QTest::newRow("unknown option")
            << icon("#2E5A88", "S") + QStringList {u"--size"_qs, u"9"_qs} << 2;
    }

    void icon()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        const QString out =
            m_home.scratch(QString::fromLatin1(QTest::currentDataTag()) + u".png"_qs);
        const auto run = test::runTool(game, QStringList {u"--icon"_qs, out} + arguments);
        QCOMPARE(run.status, status);
        QCOMPARE(QFile::exists(out), status == 0);
        QCOMPARE(run.err.contains("usage: vantry-demo-game"), status == 2);
        if (status != 0)
            return;
        const QImage image(out, "PNG");
        const QColor colour = QColor::fromString(arguments[1]);
        QCOMPARE(image.size(), QSize(256, 256));
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(30, 128), colour);
        int ink = 0; // the letter, drawn without a display
        for (int y = 64; y < 192; ++y) {
            for (int x = 64; x < 192; ++x)
                ink += qAbs(qGray(image.pixel(x, y)) - qGray(colour.rgb())) > 96;
        }
        QVERIFY2(ink > 1000, qPrintable(QString::number(ink)));
    }

    void runsQuietlyWithoutDisplay_data()
    {
        QTest::addColumn<bool>("inBundle");
        QTest::addColumn<Plant>("plant");
        QTest::addColumn<QByteArray>("line");
        const QByteArray sweepler =
            "com.vantry.test.sweepler 1.1 (com.vantry.test.sweepler): no display, best score ";
        QTest::newRow("outside a bundle")
            << false << Plant()
            << QByteArray("Vantry Demo (com.vantry.demo.game): no display, best score 0");
        QTest::newRow("no score yet") << true << Plant() << sweepler + '0';
        QTest::newRow("saved score") << true << text("7\n") << sweepler + '7';
        QTest::newRow("negative score") << true << text("-3\n") << sweepler + '0';
        QTest::newRow("FIFO") << true << fifo() << sweepler + '0';
        QTest::newRow("huge") << true << text('5' + QByteArray(1 << 20, ' ')) << sweepler + '0';
        QTest::newRow("link") << true << linkTo("6\n") << sweepler + '0';
    }

    void runsQuietlyWithoutDisplay()
    {
        QFETCH(bool, inBundle);
        QFETCH(Plant, plant);
        QFETCH(QByteArray, line);
        const QString data =
            qEnvironmentVariable("XDG_DATA_HOME") + u"/com.vantry.test.sweepler"_qs;
        QVERIFY(QDir(data).removeRecursively() && QDir().mkpath(data));
        QVERIFY(!plant || plant(data + u"/best-score"_qs));

        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"DISPLAY"_qs);
        environment.remove(u"WAYLAND_DISPLAY"_qs);
        process.setProcessEnvironment(environment);
        process.start(inBundle ? m_bundleGame : game, QStringList {});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine() || process.state() == QProcess::NotRunning,
                                 30000);
        QCOMPARE(process.readLine().trimmed(), line + "; running until asked to quit");
        QTest::qWait(200); // still running, until the terminate request
        QCOMPARE(process.state(), QProcess::Running);
        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(DemoGameTest)
#include "DemoGameTest.moc"
