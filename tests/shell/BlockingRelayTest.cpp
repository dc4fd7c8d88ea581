// A worker thread that asks the UI thread to show something waits until it has
// run, unless the relay is closed, which must release it at once.
#include "BlockingRelay.h"

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

TEST(BlockingRelay, WorkerWaitsUntilTheWorkHasRunOnTheContextThread)
{
    QObject context;
    BlockingRelay relay(&context);
    std::atomic<bool> returned{false};
    bool ranOnContextThread = false;
    std::thread worker([&] {
        relay.runAndWait(
            [&] { ranOnContextThread = QThread::currentThread() == context.thread(); });
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load()); // nothing ran yet: the event loop did not turn
    EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 2000));
    worker.join();
    EXPECT_TRUE(ranOnContextThread);
}

TEST(BlockingRelay, ClosingReleasesAWaitingWorkerAndDropsItsWork)
{
    QObject context;
    BlockingRelay relay(&context);
    std::atomic<bool> returned{false};
    bool ran = false;
    std::thread worker([&] {
        relay.runAndWait([&] { ran = true; });
        returned = true;
    });
    // The worker is waiting; the UI thread does not turn its event loop but closes.
    while (!returned.load()) {
        relay.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST(BlockingRelay, AfterClosingCallsReturnAtOnce)
{
    QObject context;
    BlockingRelay relay(&context);
    relay.close();
    bool ran = false;
    std::thread worker([&] { relay.runAndWait([&] { ran = true; }); });
    worker.join(); // would hang if the call waited
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST(BlockingRelay, NestedWorkFinishingFirstDoesNotReleaseTheOuterWaiter)
{
    QObject context;
    BlockingRelay relay(&context);
    std::atomic<bool> outerReturned{false};
    std::atomic<bool> innerReturned{false};
    bool outerReturnedBeforeItsWorkEnded = false;
    bool innerRanInsideOuter = false;
    std::thread outer([&] {
        relay.runAndWait([&] {
            // A nested event loop, as a message box runs, in which the inner work
            // is done and finishes first.
            innerRanInsideOuter = QTest::qWaitFor([&] { return innerReturned.load(); }, 2000);
            QTest::qWait(50);
            outerReturnedBeforeItsWorkEnded = outerReturned.load();
        });
        outerReturned = true;
    });
    // Both workers post before the event loop turns: the outer work runs first.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::thread inner([&] {
        relay.runAndWait([] {});
        innerReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(QTest::qWaitFor([&] { return outerReturned.load(); }, 5000));
    outer.join();
    inner.join();
    EXPECT_TRUE(innerRanInsideOuter);
    EXPECT_FALSE(outerReturnedBeforeItsWorkEnded);
}
