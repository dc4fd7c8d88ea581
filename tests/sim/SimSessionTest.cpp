// One simulated device behind a pseudo-terminal, answering a read that holds
// two units.
#include "SimSession.h"
#include "DueTimer.h"
#include "SimTestSupport.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

using namespace simtest;

// The wake-up's answer waits two byte times of the 9600-baud line; the digit
// that follows it in the same read could be answered at once, but not before it.
TEST(SimSession, AnswersLeaveInTheOrderOfTheirUnitsWhenALaterOneIsDueSooner)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    updater::sim::SimOptions options;
    options.pty = true;
    updater::sim::DueTimer timer;
    updater::sim::SimSession session(options, {}, timer);
    std::string written;
    session.connectionOpened([&](const char *data, std::size_t n) { written.append(data, n); },
                             [] {}, {}, [] { return std::size_t(0); });
    Bytes read = wakeUp();
    read.push_back('1');
    session.bytesReceived(reinterpret_cast<const char *>(read.data()), read.size());
    bool late = false;
    QTimer::singleShot(2000, [&] { late = true; });
    while (written.size() < 2 && !late)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_EQ(written, "19");
}
