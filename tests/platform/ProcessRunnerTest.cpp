#include <platform/ProcessRunner.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

using namespace vantry;
using Kind = ProcessRunner::RunError::Kind;

class ProcessRunnerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void collectsEverythingAChattyToolWrites()
    {
        // Far more than a pipe holds, on both streams at once.
        const auto result = ProcessRunner::run(u"/bin/sh"_qs,
                                               {u"-c"_qs, u"head -c 3000000 /dev/zero; head -c 700000 /dev/zero >&2; exit 7"_qs}, 60);
        QVERIFY(result);
        QCOMPARE(result->stdoutBytes.size(), 3000000);
        QCOMPARE(result->stderrBytes.size(), 700000);
        QCOMPARE(result->status, 7);
    }

    void argumentsArriveUnchangedAndInputIsEmpty()
    {
        const auto printed = ProcessRunner::run(u"/usr/bin/printf"_qs, {u"%s|"_qs, u"a b"_qs, u"'c' $HOME"_qs, QString()}, 30);
        QVERIFY(printed);
        QCOMPARE(printed->stdoutBytes, QByteArray("a b|'c' $HOME||"));
        const auto cat = ProcessRunner::run(u"/bin/cat"_qs, {}, 30);
        QVERIFY(cat);
        QCOMPARE(cat->status, 0);
        QVERIFY(cat->stdoutBytes.isEmpty());
    }

    void aToolPastItsLimitIsEndedWhateverItDoes()
    {
        QElapsedTimer timer;
        timer.start();
        const auto polite = ProcessRunner::run(u"/bin/sleep"_qs, {u"30"_qs}, 1);
        QVERIFY(!polite);
        QCOMPARE(polite.error(), (ProcessRunner::RunError {Kind::timedOut, u"/bin/sleep exceeded 1s"_qs}));
        QVERIFY2(timer.elapsed() < 10'000, "the terminate request ends a tool that listens");

        // Durations no other run uses, so that only this run's sleepers are looked for below.
        const QString run = QString::number(QCoreApplication::applicationPid());
        // One that ignores the request is killed two seconds later.
        timer.restart();
        const auto stubborn =
            ProcessRunner::run(u"/bin/sh"_qs, {u"-c"_qs, u"trap '' TERM; echo started; exec sleep "_qs + run + u"17"_qs}, 1.5);
        QVERIFY(!stubborn);
        QCOMPARE(stubborn.error(), (ProcessRunner::RunError {Kind::timedOut, u"/bin/sh exceeded 1s"_qs}));
        QVERIFY2(timer.elapsed() < 20'000, "signal 9 follows the ignored request");

        // Its output closed early, the tool runs on: the limit still applies.
        timer.restart();
        const auto silent =
            ProcessRunner::run(u"/bin/sh"_qs, {u"-c"_qs, u"exec >/dev/null 2>&1; exec sleep "_qs + run + u"19"_qs}, 1);
        QCOMPARE(silent ? Kind::launchFailed : silent.error().kind, Kind::timedOut);
        QVERIFY2(timer.elapsed() < 10'000, "a tool with closed pipes is not waited for without end");

        // Helpers the tool started end with it; nothing of any of them is left running.
        QVERIFY(!ProcessRunner::run(u"/bin/sh"_qs, {u"-c"_qs, u"sleep "_qs + run + u"18 & exec sleep "_qs + run + u"20"_qs}, 1));
        QTest::qWait(200);
        const auto left =
            ProcessRunner::run(u"/bin/sh"_qs, {u"-c"_qs, u"pgrep -f '^sleep "_qs + run + u"(17|18|19|20)$' || true"_qs}, 30);
        QVERIFY(left);
        QCOMPARE(left->stdoutBytes.trimmed(), QByteArray());
    }

    void aMissingToolIsALaunchFailure()
    {
        const auto missing = ProcessRunner::run(u"/nonexistent/hdiutil"_qs, {u"attach"_qs}, 10);
        QVERIFY(!missing);
        QCOMPARE(missing.error().kind, Kind::launchFailed);
        QVERIFY2(missing.error().text.startsWith(u"/nonexistent/hdiutil: "_qs), qPrintable(missing.error().text));
        QVERIFY(missing.error().text.contains(u"No such file"_qs));
    }
};

QTEST_GUILESS_MAIN(ProcessRunnerTest)
#include "ProcessRunnerTest.moc"
