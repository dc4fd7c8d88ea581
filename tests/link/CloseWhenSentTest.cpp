// Closing a link once the job is over: what was handed to it reaches the device.
#include "FileDownCom.h"
#include "LinkTestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

using namespace linktest;

namespace {

constexpr quint32 kLoopback = 0x7F000001; // 127.0.0.1, first octet most significant

// Closes the link once sent and runs the event loop until done comes, which
// must not come from inside the call.
bool closeWhenSent(CFileDownCom &link)
{
    std::optional<bool> result;
    link.closeWhenSent([&](bool sent) { result = sent; });
    EXPECT_FALSE(result.has_value()) << "done came from inside closeWhenSent()";
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); }, 30000)) << "done never came";
    return result.value_or(false);
}

std::vector<std::uint8_t> blocksOf1029(int count, std::vector<std::vector<std::uint8_t>> &blocks)
{
    std::vector<std::uint8_t> all;
    for (int i = 0; i < count; ++i) {
        blocks.push_back(countingBytes(1029, std::uint8_t(i * 7)));
        all.insert(all.end(), blocks.back().begin(), blocks.back().end());
    }
    return all;
}

class SerialCloseWhenSent : public ::testing::Test
{
protected:
    RecordingSink sink;
    RecordingReporter reporter;
    Pty pty;
    CFileDownCom link{&sink, &reporter};

    // Opens the port and holds its communication thread in the byte handler, so
    // that everything queued from now on waits in the link.
    void openAndHold()
    {
        ASSERT_TRUE(link.OpenSerialDevice(pty.name()));
        sink.closeGate();
        pty.write({0x01});
        ASSERT_TRUE(waitUntil([&] { return sink.waitingAtGate(); }));
    }
};

} // namespace

TEST_F(SerialCloseWhenSent, EveryQueuedBlockIsWrittenInOrderBeforeThePortCloses)
{
    openAndHold();
    std::vector<std::vector<std::uint8_t>> blocks;
    const std::vector<std::uint8_t> expected = blocksOf1029(40, blocks);
    for (const auto &block : blocks)
        ASSERT_TRUE(link.QueueSend(block.data(), block.size()));
    std::vector<std::uint8_t> got;
    std::thread device([&] { got = pty.read(expected.size(), 20000); });
    sink.openGate();
    EXPECT_TRUE(closeWhenSent(link));
    device.join();
    EXPECT_FALSE(link.linkOpen());
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes arrived out of order or changed";
}

TEST_F(SerialCloseWhenSent, APortThatHangsUpEndsTheWaitAtOnceAndSaysBytesWereLeft)
{
    openAndHold();
    std::vector<std::vector<std::uint8_t>> blocks;
    blocksOf1029(10, blocks); // about 10.7 s on the line at 9600 baud
    for (const auto &block : blocks)
        ASSERT_TRUE(link.QueueSend(block.data(), block.size()));
    pty.closeDevice();
    sink.openGate();
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(closeWhenSent(link));
    EXPECT_LT(clock.elapsed(), 5000) << "the wait must end with the port, not run to its bound";
    EXPECT_FALSE(link.linkOpen());
}

TEST(TcpCloseWhenSent, EveryBlockSentFromAnotherThreadReachesTheDeviceBeforeTheClose)
{
    RecordingSink sink;
    RecordingReporter reporter;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    CFileDownCom link(&sink, &reporter);
    link.OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
    ASSERT_TRUE(waitUntil([&] { return link.linkOpen() && server.hasPendingConnections(); }));
    QTcpSocket *peer = server.nextPendingConnection();

    std::vector<std::vector<std::uint8_t>> blocks;
    const std::vector<std::uint8_t> expected = blocksOf1029(100, blocks);
    // Sends from another thread (the supervisor's) wait as calls to the link's thread.
    std::thread sender([&] {
        for (const auto &block : blocks)
            link.SendOnCurrentLink(block.data(), block.size());
    });
    sender.join();
    EXPECT_TRUE(closeWhenSent(link));
    EXPECT_FALSE(link.linkOpen());

    QByteArray got;
    waitUntil([&] {
        got += peer->readAll();
        return got.size() >= qsizetype(expected.size()) ||
               peer->state() == QAbstractSocket::UnconnectedState;
    });
    got += peer->readAll();
    ASSERT_EQ(got.size(), qsizetype(expected.size()));
    EXPECT_TRUE(got == QByteArray(reinterpret_cast<const char *>(expected.data()),
                                  qsizetype(expected.size())));
    EXPECT_TRUE(waitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }))
        << "the device sees the connection closed";
    EXPECT_EQ(reporter.count(), 0u) << "a close that was asked for is no error";
}

namespace {

// A TCP link to a device that reads only when a test lets it.
class TcpCloseWhenSentToPlainPeer : public ::testing::Test
{
protected:
    RecordingSink sink;
    RecordingReporter reporter;
    PlainListener listener;
    CFileDownCom link{&sink, &reporter};
    std::unique_ptr<PlainPeer> peer;

    void SetUp() override
    {
        link.OpenLink(updater::kTcpLink, 0, kLoopback, listener.port());
        peer = listener.accept();
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(waitUntil([&] { return link.linkOpen(); }));
    }
};

using Clock = std::chrono::steady_clock;

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

} // namespace

// 16 MiB do not fit in the system's buffers: most of it still waits in the link
// when the close begins, and the device must see all of it before the end of the
// stream.
TEST_F(TcpCloseWhenSentToPlainPeer, BytesStillWaitingInTheLinkGoBeforeTheHalfCloseAndOnlyThenCount)
{
    const std::vector<std::uint8_t> data = countingBytes(16 << 20, 3);
    link.SendOnCurrentLink(data.data(), data.size());
    std::atomic<bool> closing{false};
    QByteArray got;
    std::thread device([&] {
        while (!closing.load())
            std::this_thread::yield();
        got = peer->receive(qsizetype(data.size()) + 1); // up to the end of the stream
    });
    closing = true;
    const bool sent = closeWhenSent(link);
    device.join();
    EXPECT_TRUE(sent);
    ASSERT_EQ(got.size(), qsizetype(data.size())) << "the end of the stream came before the data";
    EXPECT_TRUE(got == QByteArray(reinterpret_cast<const char *>(data.data()), got.size()));
}

// After the half-close the device may still answer; the link reads until it has
// been quiet for half a second, so that its close finds no unread input, which
// would reset the connection and could discard the end of the firmware.
TEST_F(TcpCloseWhenSentToPlainPeer, ADeviceThatGoesOnAnsweringIsReadUntilQuietForHalfASecond)
{
    Clock::time_point lastAnswer;
    bool answered = true;
    std::thread device([&] {
        peer->receive(1); // returns at the end of the stream: the half-close
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            answered = answered && peer->send(QByteArray("\x06", 1));
            lastAnswer = Clock::now();
        }
    });
    const bool sent = closeWhenSent(link);
    const Clock::time_point closed = Clock::now();
    device.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(answered);
    const qint64 quiet = msBetween(lastAnswer, closed);
    EXPECT_GE(quiet, 400) << "the link closed before the device had been quiet for 500 ms";
    EXPECT_LT(quiet, 2500) << "the link waited for its limit instead of the quiet";
}
