// The TCP connection beneath the link, against a far end on 127.0.0.1 driven by
// plain blocking calls, so that it reads and closes only when a case says so.
#include "TcpStream.h"
#include "LinkTestSupport.h"

#include <QByteArray>
#include <QPointer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

using namespace linktest;
using updater::TcpStream;

namespace {

// Every signal of a stream, in order: c(onnected), r(eadyRead), w(ritten), e(nded).
class TcpStreamCase : public ::testing::Test
{
protected:
    PlainListener listener;
    std::unique_ptr<TcpStream> stream = std::make_unique<TcpStream>();
    std::string told;

    void SetUp() override
    {
        QObject::connect(stream.get(), &TcpStream::connected, [this] { told += 'c'; });
        QObject::connect(stream.get(), &TcpStream::readyRead, [this] { told += 'r'; });
        QObject::connect(stream.get(), &TcpStream::bytesWritten, [this] { told += 'w'; });
        QObject::connect(stream.get(), &TcpStream::ended, [this] { told += 'e'; });
    }

    std::unique_ptr<PlainPeer> connectStream()
    {
        stream->connectToHost(QStringLiteral("127.0.0.1"), listener.port());
        auto peer = listener.accept();
        EXPECT_TRUE(waitUntil([&] { return stream->isConnected(); }));
        return peer;
    }

    QByteArray readAll()
    {
        QByteArray got(qsizetype(stream->bytesAvailable()), '\0');
        got.resize(qsizetype(stream->read(got.data(), std::size_t(got.size()))));
        return got;
    }
};

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) & 0xFF);
    return bytes;
}

} // namespace

TEST_F(TcpStreamCase, ConnectionAttemptsThatFailEndLaterWithTheirReasonAndNeverConnect)
{
    const quint16 port = listener.port();
    listener.close(); // nothing listens there any more
    stream->connectToHost(QStringLiteral("127.0.0.1"), port);
    EXPECT_TRUE(told.empty()) << "the failure comes from the event loop, not from the call";
    ASSERT_TRUE(waitUntil([&] { return !told.empty(); }));
    EXPECT_EQ(told, "e");
    EXPECT_EQ(stream->errorString(), QStringLiteral("Connection refused"));
    EXPECT_FALSE(stream->isOpen());

    told.clear();
    stream->connectToHost(QStringLiteral("inverter.local"), port);
    EXPECT_TRUE(told.empty());
    ASSERT_TRUE(waitUntil([&] { return !told.empty(); }));
    EXPECT_EQ(told, "e");
    EXPECT_EQ(stream->errorString(), QStringLiteral("\"inverter.local\" is not an IPv4 address"));

    // A failure that an abort overtakes is never told.
    told.clear();
    stream->connectToHost(QStringLiteral("999.1.1.1"), port);
    stream->abort();
    spinFor(50);
    EXPECT_EQ(told, "");
}

TEST_F(TcpStreamCase, APendingConnectTakesNoWritesAndConnectsOnceFromTheEventLoop)
{
    stream->connectToHost(QStringLiteral("127.0.0.1"), listener.port());
    EXPECT_TRUE(stream->isOpen());
    EXPECT_FALSE(stream->isConnected());
    EXPECT_FALSE(stream->write("x", 1)) << "nothing is written before the connection is up";
    EXPECT_EQ(stream->bytesToWrite(), 0u);
    auto peer = listener.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return stream->isConnected(); }));
    spinFor(20);
    EXPECT_EQ(told, "c");
    EXPECT_TRUE(stream->write("AB", 2));
    EXPECT_EQ(peer->receive(2), QByteArray("AB"));
}

TEST_F(TcpStreamCase, APendingConnectThatIsAbortedSaysNothingMore)
{
    // A listener whose accept queue is full leaves further attempts unanswered.
    PlainListener full(0);
    std::vector<std::unique_ptr<TcpStream>> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(std::make_unique<TcpStream>());
        fillers.back()->connectToHost(QStringLiteral("127.0.0.1"), full.port());
    }
    stream->connectToHost(QStringLiteral("127.0.0.1"), full.port());
    spinFor(100);
    ASSERT_FALSE(stream->isConnected()) << "the attempt should still be pending";
    EXPECT_TRUE(stream->isOpen());
    stream->abort();
    EXPECT_FALSE(stream->isOpen());
    spinFor(50);
    EXPECT_EQ(told, "");
}

// A write the system refuses (here: after this end's own half-close) ends the
// connection with its reason, told from the event loop: the writer may hold locks
// that the handlers of ended() take.
TEST_F(TcpStreamCase, AWriteTheSystemRefusesEndsTheConnectionLaterWithItsReason)
{
    auto peer = connectStream();
    ASSERT_NE(peer, nullptr);
    told.clear();
    stream->shutdownWrite();
    EXPECT_TRUE(stream->write("x", 1));
    EXPECT_EQ(told, "") << "told from the event loop, not from the write";
    ASSERT_TRUE(waitUntil([&] { return !told.empty(); }, 2000))
        << "the failed write was never told";
    EXPECT_EQ(told, "e");
    EXPECT_EQ(stream->errorString(), QStringLiteral("The remote host closed the connection"));
    EXPECT_FALSE(stream->isOpen());
}

TEST_F(TcpStreamCase, WritesBeyondTheSystemsBufferWaitAndArriveInOrderOnceThePeerReads)
{
    auto peer = connectStream();
    ASSERT_NE(peer, nullptr);
    told.clear();
    const QByteArray first = pattern(1029, 1), large = pattern(16 << 20, 2), last = pattern(77, 3);
    ASSERT_TRUE(stream->write(first.constData(), std::size_t(first.size())));
    ASSERT_TRUE(stream->write(large.constData(), std::size_t(large.size())));
    ASSERT_TRUE(stream->write(last.constData(), std::size_t(last.size())));
    EXPECT_GT(stream->bytesToWrite(), 0u) << "16 MiB should not fit in the system's buffers";
    spinFor(50);
    EXPECT_GT(stream->bytesToWrite(), 0u);
    EXPECT_EQ(told, "") << "nothing is said while bytes wait for the peer";

    const qsizetype total = first.size() + large.size() + last.size();
    QByteArray got;
    std::thread reader([&] { got = peer->receive(total); });
    EXPECT_TRUE(waitUntil([&] { return stream->bytesToWrite() == 0; }, 10000));
    reader.join();
    EXPECT_EQ(told, "w") << "once, when the last waiting byte went";
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == first + large + last) << "the bytes arrived out of order or changed";
}

TEST_F(TcpStreamCase, BytesThatCameWithTheEndOfTheStreamAreAnnouncedFirstAndNoneIsLost)
{
    auto peer = connectStream();
    ASSERT_NE(peer, nullptr);
    told.clear();
    // The handler takes a little at a time: the rest stays readable after the end.
    QByteArray got;
    QObject::connect(stream.get(), &TcpStream::readyRead, [&] {
        char buffer[1000];
        got.append(buffer, qsizetype(stream->read(buffer, sizeof buffer)));
    });
    const QByteArray sent = pattern(100000, 5);
    ASSERT_TRUE(peer->send(sent));
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return told.find('e') != std::string::npos; }));
    spinFor(20);
    EXPECT_EQ(told.find('r'), 0u);
    EXPECT_EQ(told.back(), 'e');
    EXPECT_EQ(told.find('e'), told.size() - 1) << told << ": once, and last";
    EXPECT_EQ(stream->errorString(), QStringLiteral("The remote host closed the connection"));
    EXPECT_FALSE(stream->isOpen());
    got += readAll();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

// A handler may close the stream it was called by: the close takes effect at
// once and nothing more is said, whatever the stream was about to do next.
TEST_F(TcpStreamCase, AHandlerThatClosesItsOwnStreamEndsItWithoutAnotherSignal)
{
    struct Close
    {
        const char *what;
        char signal; // the handler that closes
        std::function<void(TcpStream &)> close;
        std::string expected;
    };
    const Close closes[] = {
        {"abort in readyRead", 'r', [](TcpStream &s) { s.abort(); }, "r"},
        {"disconnect in readyRead", 'r', [](TcpStream &s) { s.disconnectFromHost(); }, "re"},
        {"abort and delete in readyRead", 'r',
         [](TcpStream &s) {
             s.abort();
             s.deleteLater();
         },
         "r"},
        {"abort in ended", 'e', [](TcpStream &s) { s.abort(); }, "re"},
        {"disconnect in ended", 'e', [](TcpStream &s) { s.disconnectFromHost(); }, "re"},
    };
    for (const Close &c : closes) {
        SCOPED_TRACE(c.what);
        auto *s = new TcpStream;
        std::string said;
        QObject::connect(s, &TcpStream::readyRead, [&said] { said += 'r'; });
        QObject::connect(s, &TcpStream::ended, [&said] { said += 'e'; });
        QObject::connect(s, c.signal == 'r' ? &TcpStream::readyRead : &TcpStream::ended,
                         [s, &c] { c.close(*s); });
        QPointer<TcpStream> alive(s);
        s->connectToHost(QStringLiteral("127.0.0.1"), listener.port());
        auto peer = listener.accept();
        ASSERT_NE(peer, nullptr);
        // Exactly one receive buffer's worth, then the end: the stream finds both
        // in one pass, and its handler runs before the end is told.
        ASSERT_TRUE(peer->send(pattern(16384, 9)));
        peer->close();
        ASSERT_TRUE(waitUntil([&] { return said.size() >= c.expected.size(); }));
        spinFor(50);
        EXPECT_EQ(said, c.expected);
        if (alive) {
            EXPECT_FALSE(alive->isOpen());
            if (c.signal == 'r') {
                EXPECT_TRUE(alive->errorString().isEmpty()) << "closed here, not by the device";
            }
            delete alive.data();
        }
    }
}

TEST_F(TcpStreamCase, AHandlerThatConnectsAgainKeepsTheNewConnection)
{
    auto peer = connectStream();
    ASSERT_NE(peer, nullptr);
    told.clear();
    QObject::connect(stream.get(), &TcpStream::readyRead, [this] {
        stream->connectToHost(QStringLiteral("127.0.0.1"), listener.port());
    });
    ASSERT_TRUE(peer->send(pattern(16384, 4)));
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return !told.empty(); }));
    auto second = listener.accept();
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(waitUntil([&] { return stream->isConnected(); }));
    spinFor(50);
    EXPECT_EQ(told, "rc") << "the first connection's end is not told of the second";
    EXPECT_TRUE(stream->write("Z", 1));
    EXPECT_EQ(second->receive(1), QByteArray("Z"));
}
