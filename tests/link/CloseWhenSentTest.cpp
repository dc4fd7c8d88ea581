// Closing a link once the job is over: what was handed to it reaches the device.
#include "FileDownCom.h"
#include "LinkTestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <thread>

using namespace linktest;

namespace {

constexpr quint32 kLoopback = 0x7F000001; // 127.0.0.1, first octet most significant

std::vector<std::uint8_t> blocksOf1029(int count, std::vector<std::vector<std::uint8_t>> &blocks)
{
    std::vector<std::uint8_t> all;
    for (int i = 0; i < count; ++i) {
        blocks.push_back(countingBytes(1029, std::uint8_t(i * 7)));
        all.insert(all.end(), blocks.back().begin(), blocks.back().end());
    }
    return all;
}

class SerialCloseWhenSent : public ::testing::TestWithParam<CSerialPort::Backend>
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
        link.setBackend(GetParam());
        ASSERT_TRUE(link.OpenSerialDevice(pty.name()));
        sink.closeGate();
        pty.write({0x01});
        ASSERT_TRUE(waitUntil([&] { return sink.waitingAtGate(); }));
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, SerialCloseWhenSent,
                         ::testing::Values(CSerialPort::Backend::Native,
                                           CSerialPort::Backend::QtSerialPort),
                         backendName);

TEST_P(SerialCloseWhenSent, EveryQueuedBlockIsWrittenInOrderBeforeThePortCloses)
{
    openAndHold();
    std::vector<std::vector<std::uint8_t>> blocks;
    const std::vector<std::uint8_t> expected = blocksOf1029(40, blocks);
    for (const auto &block : blocks)
        ASSERT_TRUE(link.QueueSend(block.data(), block.size()));
    std::vector<std::uint8_t> got;
    std::thread device([&] { got = pty.read(expected.size(), 20000); });
    sink.openGate();
    EXPECT_TRUE(link.CloseLinkWhenSent());
    device.join();
    EXPECT_FALSE(link.linkOpen());
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes arrived out of order or changed";
}

TEST_P(SerialCloseWhenSent, APortThatHangsUpEndsTheWaitAtOnceAndSaysBytesWereLeft)
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
    EXPECT_FALSE(link.CloseLinkWhenSent());
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
    EXPECT_TRUE(link.CloseLinkWhenSent());
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
