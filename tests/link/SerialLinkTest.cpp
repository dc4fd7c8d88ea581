#include "FileDownCom.h"
#include "LinkTestSupport.h"

#include <QElapsedTimer>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace linktest;

namespace {

class SerialLink : public ::testing::Test
{
protected:
    RecordingSink sink;
    RecordingReporter reporter;
    Pty pty;
    CFileDownCom link{&sink, &reporter};

    void open()
    {
        ASSERT_TRUE(link.OpenSerialDevice(pty.name()));
        ASSERT_TRUE(link.linkOpen());
    }
    void send(const std::vector<std::uint8_t> &bytes)
    {
        link.SendOnCurrentLink(bytes.data(), bytes.size());
    }
};

} // namespace

TEST_F(SerialLink, BurstReachesTheSinkOnceInOrderOnTheCommunicationThread)
{
    open();
    const auto burst = countingBytes(300, 7);
    pty.write(burst);
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= burst.size(); }));
    spinFor(50);
    EXPECT_EQ(sink.bytes(), burst);
    const auto threads = sink.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, IdlePortMakesNoCallback)
{
    open();
    spinFor(200);
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(SerialLink, HundredThousandBytesInBurstsAllArriveInOrder)
{
    open();
    std::mt19937 random(4711);
    std::vector<std::uint8_t> all;
    std::size_t sent = 0;
    while (sent < 100000) {
        const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 3000)(random);
        std::vector<std::uint8_t> burst(size);
        for (auto &b : burst)
            b = static_cast<std::uint8_t>(random());
        pty.write(burst);
        all.insert(all.end(), burst.begin(), burst.end());
        sent += size;
        if (random() % 4 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3));
    }
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= all.size(); }, 60000))
        << "received " << sink.count() << " of " << all.size();
    spinFor(50);
    EXPECT_TRUE(sink.bytes() == all);
    EXPECT_EQ(sink.threads().size(), 1u);
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, QueuedBlockArrivesWholeAtTheDevice)
{
    open();
    const auto block = countingBytes(1029, 1);
    send(block);
    EXPECT_EQ(pty.read(block.size()), block);
}

TEST_F(SerialLink, BlocksQueuedBeforeTheThreadWritesAreAllWrittenInOrder)
{
    // Two acknowledgements in one read: each makes the receiving side queue a
    // record before the communication thread gets to write the first.
    sink.onByte = [&](std::uint8_t b) {
        const std::vector<std::uint8_t> record(21, b);
        link.SendOnCurrentLink(record.data(), record.size());
    };
    open();
    pty.write({0xCC, 0xCD});
    auto expected = std::vector<std::uint8_t>(21, 0xCC);
    expected.insert(expected.end(), 21, 0xCD);
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(pty.readFor(100).empty());
}

TEST_F(SerialLink, BlocksSentFromAnotherThreadDuringWritesArriveInOrder)
{
    open();
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < 36; ++i) {
        const auto block = countingBytes(100, std::uint8_t(i * 3));
        expected.insert(expected.end(), block.begin(), block.end());
    }
    std::thread sender([&] {
        for (int i = 0; i < 36; ++i) {
            const auto block = countingBytes(100, std::uint8_t(i * 3));
            link.SendOnCurrentLink(block.data(), block.size());
        }
    });
    sender.join();
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, SecondOpenEndsTheOldThreadAndOnlyTheNewPortDelivers)
{
    open();
    Pty second;
    EXPECT_EQ(CSerialPort::runningThreads(), 1);
    ASSERT_TRUE(link.OpenSerialDevice(second.name()));
    EXPECT_EQ(CSerialPort::runningThreads(), 1);
    pty.write({0x11});
    second.write({0x22});
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 1; }));
    spinFor(100);
    EXPECT_EQ(sink.bytes(), std::vector<std::uint8_t>{0x22});
    send({0x33});
    EXPECT_EQ(second.read(1), std::vector<std::uint8_t>{0x33});
}

TEST_F(SerialLink, ComNumberOpensTheDeviceNamedByItsEnvironmentVariable)
{
    ::setenv("UPDATER_COM7", pty.name().toLocal8Bit().constData(), 1);
    link.OpenLink(updater::kSerialLink, 7, 0, 0);
    ::unsetenv("UPDATER_COM7");
    EXPECT_TRUE(link.linkOpen());
    EXPECT_EQ(link.portNumber(), 7u);
    send({0x42});
    EXPECT_EQ(pty.read(1), std::vector<std::uint8_t>{0x42});
}

TEST_F(SerialLink, ClosingTheLinkEndsTheThreadAndStopsDelivery)
{
    open();
    link.CloseLink();
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    EXPECT_FALSE(link.linkOpen());
    pty.write({0x01, 0x02});
    spinFor(100);
    EXPECT_EQ(sink.count(), 0u);
}

// The port is set to 9600 baud raw while the link holds it, and left as it was found.
TEST(NativeSerialLink, TakesTheLineSettingsAndRestoresTheFormerOnesOnClose)
{
    Pty pty;
    const auto settings = [&pty] {
        const int fd = ::open(pty.name().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        termios tio{};
        EXPECT_EQ(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        return tio;
    };
    termios former = settings();
    ::cfsetospeed(&former, B38400);
    former.c_lflag |= ICANON;
    const int fd = ::open(pty.name().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &former), 0);
    ::close(fd);
    RecordingSink sink;
    RecordingReporter reporter;
    CFileDownCom link(&sink, &reporter);
    ASSERT_TRUE(link.OpenSerialDevice(pty.name()));
    termios held = settings();
    EXPECT_EQ(::cfgetospeed(&held), speed_t(B9600));
    EXPECT_EQ(held.c_lflag & ICANON, 0u);
    link.CloseLink();
    termios after = settings();
    EXPECT_EQ(::cfgetospeed(&after), speed_t(B38400));
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, LinkDestroyedWhileBytesFlowEndsCleanly)
{
    auto other = std::make_unique<CFileDownCom>(&sink, &reporter);
    ASSERT_TRUE(other->OpenSerialDevice(pty.name()));
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const auto chunk = countingBytes(64);
        while (!stop) { // never blocks: once nobody reads, the writes just fail
            if (::write(pty.deviceFd(), chunk.data(), chunk.size()) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(waitUntil([&] { return sink.count() > 1000; }));
    other.reset();
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    stop = true;
    feeder.join();
}

// Failure cases.

namespace {

// The port says why from the call that failed.
void expectOpenError(const CFileDownCom &link, updater::PortOpenError expected)
{
    EXPECT_EQ(link.openError(), expected) << link.openErrorText().toStdString();
}

} // namespace

TEST_F(SerialLink, PortThatDoesNotExistFailsSilentlyAndLeavesTheLinkUsable)
{
    EXPECT_FALSE(link.OpenSerialDevice(QStringLiteral("/dev/no-such-port-here")));
    EXPECT_FALSE(link.linkOpen());
    expectOpenError(link, updater::PortOpenError::NoSuchPort);
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    spinFor(50);
    EXPECT_EQ(reporter.count(), 0u);
    open();
    send({0x5A});
    EXPECT_EQ(pty.read(1), std::vector<std::uint8_t>{0x5A});
}

TEST_F(SerialLink, PortHeldByAnotherLinkIsNotOpened)
{
    open();
    RecordingSink otherSink;
    CFileDownCom other(&otherSink, &reporter);
    EXPECT_FALSE(other.OpenSerialDevice(pty.name()));
    EXPECT_FALSE(other.linkOpen());
    expectOpenError(other, updater::PortOpenError::Busy);
    spinFor(50);
    EXPECT_EQ(reporter.count(), 0u);
    pty.write({0x31});
    ASSERT_TRUE(waitUntil([&] { return sink.count() == 1; }));
    EXPECT_EQ(otherSink.count(), 0u);
}

TEST_F(SerialLink, FileThatIsNoTerminalIsNotOpened)
{
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    EXPECT_FALSE(link.OpenSerialDevice(file.fileName()));
    EXPECT_FALSE(link.linkOpen());
    expectOpenError(link, updater::PortOpenError::NotASerialPort);
    spinFor(50);
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, ComPortZeroIsNotOpened)
{
    link.OpenLink(updater::kSerialLink, 0, 0, 0);
    EXPECT_FALSE(link.linkOpen());
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, BlockLongerThanTheSendBufferIsRefusedAndReported)
{
    open();
    const std::vector<std::uint8_t> block(4097, 0x55);
    EXPECT_FALSE(link.QueueSend(block.data(), block.size()));
    EXPECT_FALSE(
        link.QueueSend(block.data(), block.size())); // while the first waits: no second box
    ASSERT_TRUE(waitUntil([&] { return reporter.count() == 1; }));
    spinFor(100);
    ASSERT_EQ(reporter.count(), 1u);
    const Report report = reporter.reports().front();
    EXPECT_EQ(report.caption, "Application Error");
    const QString start = "WARNING:  QueueSend() Failed with the following error: \n";
    EXPECT_TRUE(report.text.startsWith(start)) << report.text.toStdString();
    EXPECT_TRUE(report.text.contains("4097"));
    EXPECT_EQ(report.thread, std::this_thread::get_id());
    EXPECT_TRUE(pty.readFor(150).empty());
    const std::vector<std::uint8_t> full(4096, 0x66);
    EXPECT_TRUE(link.QueueSend(full.data(), full.size()));
    EXPECT_EQ(pty.read(full.size()), full);
    // A failure not yet shown when its port closes is not shown against the next port.
    EXPECT_FALSE(link.QueueSend(block.data(), block.size()));
    open();
    spinFor(100);
    EXPECT_EQ(reporter.count(), 1u);
    EXPECT_TRUE(link.linkOpen());
}

TEST_F(SerialLink, BlocksBeyondTheRoomLeftWaitInOrderBehindTheEarlierOnes)
{
    open();
    // Hold the communication thread in the byte handler so nothing is written.
    sink.closeGate();
    pty.write({0x01});
    ASSERT_TRUE(waitUntil([&] { return sink.waitingAtGate(); }));
    std::vector<std::uint8_t> expected;
    // 3000 + 1097 exceeds the 4096-byte buffer; so do the ten 1029-byte blocks after.
    std::vector<std::vector<std::uint8_t>> blocks = {std::vector<std::uint8_t>(3000, 0x61),
                                                     std::vector<std::uint8_t>(1097, 0x62),
                                                     std::vector<std::uint8_t>(1096, 0x63)};
    for (int i = 0; i < 10; ++i)
        blocks.push_back(countingBytes(1029, std::uint8_t(0x70 + i)));
    for (const auto &block : blocks) {
        EXPECT_TRUE(link.QueueSend(block.data(), block.size()));
        expected.insert(expected.end(), block.begin(), block.end());
    }
    sink.openGate();
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(pty.readFor(100).empty());
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(SerialLink, WaitForBytesTheDeviceNeverReadsRunsOutAndSaysTheyWereNotAllWritten)
{
    open();
    // The device end is never read: the pseudo-terminal takes some tens of KiB, the
    // rest of these 256 KiB stays in the link.
    const std::vector<std::uint8_t> block(4096, 0x5A);
    for (int i = 0; i < 64; ++i)
        ASSERT_TRUE(link.QueueSend(block.data(), block.size()));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(link.WaitUntilWritten(std::chrono::milliseconds(1000)));
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(link.linkOpen());
    EXPECT_EQ(reporter.count(), 0u);
}

// Without a bound of the caller's, the wait ends after the line time of the
// waiting bytes plus 2 s (96 bytes: 100 ms at 9600 baud), and says so.
TEST_F(SerialLink, WaitThatRunsOutItsLineTimeSaysTheBytesWereNotAllWritten)
{
    open();
    sink.closeGate(); // the communication thread waits in the byte handler: nothing is written
    pty.write({0x01});
    ASSERT_TRUE(waitUntil([&] { return sink.waitingAtGate(); }));
    const std::vector<std::uint8_t> block(96, 0x5A);
    ASSERT_TRUE(link.QueueSend(block.data(), block.size()));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(link.WaitUntilWritten());
    EXPECT_GE(clock.elapsed(), 2100);
    EXPECT_LT(clock.elapsed(), 3500);
    sink.openGate();
    EXPECT_EQ(pty.read(block.size()), block) << "the bytes go once the thread is free";
}

TEST_F(SerialLink, DeviceThatHangsUpIsReportedOnceAndClosesTheLink)
{
    open();
    pty.write({0x10, 0x20});
    ASSERT_TRUE(waitUntil([&] { return sink.count() == 2; }));
    pty.closeDevice();
    ASSERT_TRUE(waitUntil([&] { return !link.linkOpen(); }));
    spinFor(100);
    ASSERT_EQ(reporter.count(), 1u);
    const Report report = reporter.reports().front();
    EXPECT_EQ(report.caption, "Application Error");
    const QString start = "WARNING:  ReadFile() Failed with the following error: \n";
    EXPECT_TRUE(report.text.startsWith(start)) << report.text.toStdString();
    EXPECT_EQ(report.text, start + "Input/output error\nPort: " + pty.name() + "\n");
    EXPECT_EQ(report.thread, std::this_thread::get_id());
    EXPECT_EQ(reporter.closedStatus, "Connection on " + pty.name() + " closed");
    EXPECT_EQ(sink.count(), 2u);
    const std::uint8_t one = 1;
    EXPECT_FALSE(link.QueueSend(&one, 1));
}
