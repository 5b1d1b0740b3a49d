#include <core/OffMain.h>

#include <QCoroTask>
#include <QFuture>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

using namespace vantry;

namespace {

struct Sighting {
    QThread *workThread = nullptr;
    QThread *voidWorkThread = nullptr;
    QThread *resumedOn = nullptr;
    int result = 0;
};

QCoro::Task<Sighting> hop(int value)
{
    Sighting seen;
    auto work = [value, &seen] {
        seen.workThread = QThread::currentThread();
        return value * 2;
    };
    auto voidWork = [&seen] { seen.voidWorkThread = QThread::currentThread(); };
    seen.result = co_await offMain(work);
    co_await offMain(voidWork);
    seen.resumedOn = QThread::currentThread();
    co_return seen;
}

} // namespace

class OffMainTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theWorkRunsOnThePoolAndTheCallerResumesAtHome()
    {
        const Sighting seen = QCoro::waitFor(hop(21));
        QCOMPARE(seen.result, 42);
        for (QThread *worker : {seen.workThread, seen.voidWorkThread})
            QVERIFY(worker != nullptr && worker != QThread::currentThread());
        QCOMPARE(seen.resumedOn, QThread::currentThread());
    }

    void slowWorkDoesNotHoldBackOtherWork()
    {
        // Both wait for each other: on a pool of one thread they would never finish.
        auto firstStarted = std::make_shared<std::atomic<bool>>(false);
        auto secondStarted = std::make_shared<std::atomic<bool>>(false);
        const auto waitFor = [](std::shared_ptr<std::atomic<bool>> mine, std::shared_ptr<std::atomic<bool>> other) {
            *mine = true;
            for (int i = 0; i < 2000 && !*other; ++i)
                QThread::msleep(1);
            return other->load();
        };
        auto firstWork = [=] { return waitFor(firstStarted, secondStarted); };
        auto secondWork = [=] { return waitFor(secondStarted, firstStarted); };
        QFuture<bool> first = offMain(firstWork);
        QFuture<bool> second = offMain(secondWork);
        QVERIFY(first.result() && second.result());
    }
};

QTEST_GUILESS_MAIN(OffMainTest)
#include "OffMainTest.moc"
