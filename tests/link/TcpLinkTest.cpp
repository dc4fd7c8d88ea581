#include "FileDownCom.h"
#include "LinkTestSupport.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

using namespace linktest;

namespace {

constexpr quint32 kLoopback = 0x7F000001; // 127.0.0.1, first octet most significant

class TcpLink : public ::testing::Test
{
protected:
    RecordingSink sink;
    RecordingReporter reporter;
    QTcpServer server;
    std::vector<bool> openChanges;
    std::unique_ptr<CFileDownCom> link = std::make_unique<CFileDownCom>(&sink, &reporter);

    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(link.get(), &CFileDownCom::linkOpenChanged,
                         [this](bool open) { openChanges.push_back(open); });
    }

    // Connects the link to the server; returns the device's end of the connection.
    QTcpSocket *connectLink()
    {
        link->OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
        EXPECT_FALSE(link->linkOpen());
        if (!waitUntil([&] { return link->linkOpen() && server.hasPendingConnections(); }))
            return nullptr;
        return server.nextPendingConnection();
    }

    static QByteArray readFrom(QTcpSocket *peer, qsizetype count)
    {
        QByteArray got;
        waitUntil([&] {
            got += peer->readAll();
            return got.size() >= count;
        });
        return got;
    }

    void send(const std::vector<std::uint8_t> &bytes)
    {
        link->SendOnCurrentLink(bytes.data(), bytes.size());
    }
};

QByteArray asBytes(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

} // namespace

TEST(Ipv4AddressText, OctetsOneTwoThreeFourGiveOneDotTwoDotThreeDotFour)
{
    EXPECT_EQ(updater::ipv4AddressText(0x01020304), "1.2.3.4");
    EXPECT_EQ(updater::ipv4AddressText(0xC0A864FF), "192.168.100.255");
    EXPECT_EQ(updater::ipv4AddressText(0), "0.0.0.0");
}

TEST_F(TcpLink, CompletedConnectionOpensTheLink)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(link->linkType(), updater::kTcpLink);
    EXPECT_EQ(openChanges, std::vector<bool>{true});
    EXPECT_EQ(reporter.count(), 0u);
}

TEST_F(TcpLink, ThreeByteSegmentGivesThreeCallsInOrderOnTheLinkThread)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    peer->write(QByteArray("\xCC\x06\x39", 3));
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 3; }));
    spinFor(50);
    EXPECT_EQ(sink.bytes(), (std::vector<std::uint8_t>{0xCC, 0x06, 0x39}));
    EXPECT_EQ(sink.threads(), std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST_F(TcpLink, DataLongerThanOneReceivePassArrivesWholeInOrder)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    const auto data = countingBytes(5000, 3);
    peer->write(asBytes(data));
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= data.size(); }));
    EXPECT_EQ(sink.bytes(), data);
}

TEST_F(TcpLink, BlocksArriveWholeAtTheDeviceEvenBeyondTheSystemsBuffers)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    // The second block finds the system's buffers full while the device does not
    // read: the link keeps the rest and writes it as the device reads.
    const auto small = countingBytes(1029, 9);
    const auto large = countingBytes(8 << 20, 1);
    send(small);
    send(large);
    send(small);
    const QByteArray all = asBytes(small) + asBytes(large) + asBytes(small);
    EXPECT_TRUE(readFrom(peer, all.size()) == all);
}

// Links served by one thread (a fleet's) each carry their own bytes both ways,
// also beyond the system's buffers.
TEST_F(TcpLink, LinksSharingAThreadEachCarryTheirOwnBytesBothWays)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    RecordingSink otherSink;
    CFileDownCom other(&otherSink, &reporter);
    other.OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
    ASSERT_TRUE(waitUntil([&] { return other.linkOpen() && server.hasPendingConnections(); }));
    QTcpSocket *otherPeer = server.nextPendingConnection();
    peer->write(QByteArray("\xCC", 1));
    otherPeer->write(QByteArray("\x06\x39", 2));
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 1 && otherSink.count() >= 2; }));
    EXPECT_EQ(sink.bytes(), std::vector<std::uint8_t>{0xCC});
    EXPECT_EQ(otherSink.bytes(), (std::vector<std::uint8_t>{0x06, 0x39}));
    const auto large = countingBytes(8 << 20, 1);
    const auto small = countingBytes(1029, 9);
    other.SendOnCurrentLink(large.data(), large.size());
    send(small);
    other.SendOnCurrentLink(small.data(), small.size());
    send(large);
    EXPECT_TRUE(readFrom(otherPeer, (8 << 20) + 1029) == asBytes(large) + asBytes(small));
    EXPECT_TRUE(readFrom(peer, 1029 + (8 << 20)) == asBytes(small) + asBytes(large));
}

// The supervisor's thread and the link's own thread take turns: each block the
// other thread sends waits as a call to the link's thread, and a block the link's
// thread sends before it has handled that call goes out behind it.
TEST_F(TcpLink, SendsFromAnotherThreadAndTheLinkThreadTakingTurnsArriveInTheOrderSent)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    std::vector<std::uint8_t> expected;
    auto sendNumbered = [&](int i) {
        const auto block = countingBytes(50, std::uint8_t(i));
        expected.insert(expected.end(), block.begin(), block.end());
        link->SendOnCurrentLink(block.data(), block.size());
    };
    for (int turn = 0; turn < 20; ++turn) {
        std::thread([&] { sendNumbered(3 * turn); }).join();
        sendNumbered(3 * turn + 1);
        if (turn % 2 == 1)
            QCoreApplication::processEvents(); // now and then the posted block goes first
        sendNumbered(3 * turn + 2);
    }
    EXPECT_EQ(readFrom(peer, 60 * 50), asBytes(expected));
}

TEST_F(TcpLink, SerialChoiceThenTcpChoiceSendsOnTheSocketAndClosesThePort)
{
    Pty pty;
    ASSERT_TRUE(link->OpenSerialDevice(pty.name()));
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    send({0x41, 0x42});
    EXPECT_EQ(readFrom(peer, 2), QByteArray("AB"));
    EXPECT_TRUE(pty.readFor(100).empty());
    pty.write({0x01});
    spinFor(100);
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(TcpLink, NewTcpChoiceClosesTheEarlierConnection)
{
    QTcpSocket *first = connectLink();
    ASSERT_NE(first, nullptr);
    QTcpSocket *second = connectLink();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(waitUntil([&] { return first->state() == QAbstractSocket::UnconnectedState; }));
    send({0x07});
    EXPECT_EQ(readFrom(second, 1), QByteArray("\x07", 1));
    EXPECT_TRUE(first->readAll().isEmpty());
}

TEST_F(TcpLink, LinkDestroyedWithAConnectionOpenClosesIt)
{
    QTcpSocket *peer = connectLink();
    ASSERT_NE(peer, nullptr);
    send({0x01});
    link.reset();
    EXPECT_TRUE(waitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
}

// Failure cases.

TEST_F(TcpLink, RefusedConnectionIsReportedAndLeavesTheLinkClosed)
{
    const quint16 port = server.serverPort();
    server.close(); // nothing listens there any more
    link->OpenLink(updater::kTcpLink, 0, kLoopback, port);
    EXPECT_EQ(reporter.count(), 0u) << "told from the event loop, not from the Set Port command";
    ASSERT_TRUE(waitUntil([&] { return reporter.count() == 1; }));
    const Report report = reporter.reports().front();
    EXPECT_TRUE(report.text.contains("127.0.0.1")) << report.text.toStdString();
    EXPECT_TRUE(report.text.contains(QString::number(port)));
    EXPECT_TRUE(report.text.contains("refused", Qt::CaseInsensitive));
    EXPECT_EQ(report.thread, std::this_thread::get_id());
    EXPECT_EQ(report.fault, updater::LinkFault::ConnectFailed);
    spinFor(100);
    EXPECT_EQ(reporter.count(), 1u); // once, on one channel
    EXPECT_FALSE(link->linkOpen());
    EXPECT_TRUE(openChanges.empty());
}

TEST_F(TcpLink, FailedTcpChoiceAfterAnOpenSerialPortLeavesNoLinkOpen)
{
    Pty pty;
    ASSERT_TRUE(link->OpenSerialDevice(pty.name()));
    const quint16 port = server.serverPort();
    server.close();
    link->OpenLink(updater::kTcpLink, 0, kLoopback, port);
    EXPECT_FALSE(link->linkOpen());
    ASSERT_TRUE(waitUntil([&] { return reporter.count() == 1; }));
    EXPECT_FALSE(link->linkOpen());
}

// The device's last bytes come with its close: every one of them reaches the
// owner, also when the owner is still busy with the byte before (a message box's
// event loop runs meanwhile, as the success ending's does in the window).
TEST_F(TcpLink, DeviceClosingTheConnectionClearsTheLinkAfterItsLastBytes)
{
    struct Close
    {
        const char *what;
        QByteArray first; // sent, then the rest and the close while the owner is busy
        QByteArray rest;
    };
    const Close closes[] = {
        {"two bytes then the close", QByteArray("\x06\x06", 2), {}},
        {"100000 bytes then the close", asBytes(countingBytes(100000, 5)), {}},
        {"last reply while the owner handles the one before", QByteArray("\xCC", 1),
         QByteArray("\x06", 1)},
    };
    for (const Close &c : closes) {
        SCOPED_TRACE(c.what);
        RecordingSink busySink;
        RecordingReporter closedReporter;
        CFileDownCom closing(&busySink, &closedReporter);
        std::vector<bool> changes;
        QObject::connect(&closing, &CFileDownCom::linkOpenChanged,
                         [&](bool open) { changes.push_back(open); });
        closing.OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
        ASSERT_TRUE(
            waitUntil([&] { return closing.linkOpen() && server.hasPendingConnections(); }));
        QTcpSocket *peer = server.nextPendingConnection();
        busySink.onByte = [&, count = qsizetype(0)](std::uint8_t) mutable {
            if (++count != c.first.size() || c.rest.isEmpty())
                return;
            peer->write(c.rest);
            peer->disconnectFromHost();
            waitUntil([&] { return !closing.linkOpen(); });
        };
        peer->write(c.first);
        if (c.rest.isEmpty())
            peer->disconnectFromHost();
        ASSERT_TRUE(waitUntil([&] { return !closing.linkOpen(); }));
        spinFor(50);
        EXPECT_TRUE(asBytes(busySink.bytes()) == c.first + c.rest)
            << busySink.count() << " bytes handed on";
        ASSERT_EQ(closedReporter.count(), 1u);
        EXPECT_TRUE(closedReporter.reports().front().text.contains("127.0.0.1"));
        EXPECT_EQ(changes, (std::vector<bool>{true, false}));
        closing.SendOnCurrentLink(reinterpret_cast<const std::uint8_t *>("\x01"), 1); // dropped
        spinFor(20);
    }
}

// An owner may close or open the link again from inside the byte handler (the
// user chose another link while a message box was up): the close takes effect
// at once and nothing more is told of the connection closed.
TEST_F(TcpLink, OwnerThatClosesOrReopensTheLinkFromTheByteHandlerHearsNoMoreOfTheOldConnection)
{
    const bool reopens[] = {false, true};
    for (const bool reopen : reopens) {
        SCOPED_TRACE(reopen ? "opened again" : "closed");
        RecordingSink closingSink;
        RecordingReporter quietReporter;
        CFileDownCom closing(&closingSink, &quietReporter);
        closing.OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
        ASSERT_TRUE(
            waitUntil([&] { return closing.linkOpen() && server.hasPendingConnections(); }));
        QTcpSocket *peer = server.nextPendingConnection();
        closingSink.onByte = [&](std::uint8_t) {
            if (closingSink.count() != 1)
                return;
            if (reopen)
                closing.OpenLink(updater::kTcpLink, 0, kLoopback, server.serverPort());
            else
                closing.CloseLink();
        };
        peer->write(asBytes(countingBytes(16384, 9)));
        peer->disconnectFromHost();
        ASSERT_TRUE(waitUntil([&] { return closingSink.count() >= 1; }));
        spinFor(100);
        EXPECT_LT(closingSink.count(), 16384u) << "the closed connection was read on";
        EXPECT_EQ(quietReporter.count(), 0u);
        if (!reopen) {
            EXPECT_FALSE(closing.linkOpen());
            continue;
        }
        ASSERT_TRUE(
            waitUntil([&] { return closing.linkOpen() && server.hasPendingConnections(); }));
        QTcpSocket *second = server.nextPendingConnection();
        closing.SendOnCurrentLink(reinterpret_cast<const std::uint8_t *>("Z"), 1);
        EXPECT_EQ(readFrom(second, 1), QByteArray("Z"));
    }
}

TEST_F(TcpLink, ConnectionThatIsNeverAnsweredIsGivenUpAndReported)
{
    // A listener whose accept queue is full leaves further connection requests
    // unanswered, as an unreachable WiFi module does.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    link->setConnectTimeoutMs(500);
    link->OpenLink(updater::kTcpLink, 0, kLoopback, ntohs(address.sin_port));
    ASSERT_TRUE(waitUntil([&] { return reporter.count() == 1; }));
    const QString text = reporter.reports().front().text;
    EXPECT_EQ(text, QStringLiteral("Cannot connect to 127.0.0.1 port %1: no answer within 500 ms")
                        .arg(ntohs(address.sin_port)));
    EXPECT_FALSE(link->linkOpen());
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST_F(TcpLink, TcpPortOutOfRangeIsReportedWithoutConnecting)
{
    const int ports[] = {70000, 65536, 0, -1};
    for (const int port : ports) {
        link->OpenLink(updater::kTcpLink, 0, kLoopback, port);
        EXPECT_FALSE(link->linkOpen()) << port;
    }
    const std::vector<Report> reports = reporter.reports();
    ASSERT_EQ(reports.size(), std::size(ports));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_TRUE(reports[i].text.contains("port " + QString::number(ports[i]) + ":"))
            << reports[i].text.toStdString();
        EXPECT_EQ(reports[i].fault, updater::LinkFault::ConnectFailed);
    }
    spinFor(100);
    EXPECT_FALSE(server.hasPendingConnections());
    EXPECT_FALSE(link->linkOpen());
}
