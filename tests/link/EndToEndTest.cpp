#include "FileDownCom.h"
#include "LinkTestSupport.h"
#include "SimPeers.h"
#include "Supervisor.h"
#include "UpdateJob.h"
#include "WireUnits.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

using namespace linktest;
using testsupport::PeerOptions;
using testsupport::PtySimDevice;
using testsupport::SimPeer;
using testsupport::TcpSimDevice;

namespace {

// The window's part: sends go to the link, messages are recorded and closed at
// once.
class Host : public updater::IJobHost
{
public:
    CFileDownCom *link = nullptr;

    void sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t) override
    {
        link->SendOnCurrentLink(data, length);
    }
    void setLineText(updater::StatusLine, const std::string &) override {}
    void setProgressVisible(bool) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(updater::MessageKind, const std::string &text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(text);
    }
    std::vector<std::string> messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

std::vector<std::uint8_t> armFirmware(std::size_t length)
{
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i)
        image[i] = std::uint8_t((i * 31 + i / 256) & 0xFF);
    return image;
}

class EndToEnd : public ::testing::Test
{
protected:
    // The pseudo-terminal outlives the device thread that serves it.
    std::unique_ptr<Pty> pty;
    std::unique_ptr<PtySimDevice> ptyDevice;
    std::unique_ptr<TcpSimDevice> tcpDevice;
    SimPeer *device = nullptr;
    PeerOptions options; // the device stays connected after the job unless a test says otherwise
    QTemporaryDir dir;
    Host host;
    RecordingReporter reporter;
    updater::UpdateJob job{host};
    CFileDownCom link{&job, &reporter};
    std::unique_ptr<updater::Supervisor> supervisor;

    // The supervisor goes first, then the link's threads, then the job.
    void TearDown() override
    {
        supervisor.reset();
        link.CloseLink();
    }

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        host.link = &link;
        options.hangUpAfter.reset();
    }

    void connectSerial()
    {
        pty = std::make_unique<Pty>();
        ptyDevice = std::make_unique<PtySimDevice>(pty->deviceFd(), options);
        device = ptyDevice.get();
        ASSERT_TRUE(link.OpenSerialDevice(pty->name()));
    }

    void connectTcp()
    {
        tcpDevice = std::make_unique<TcpSimDevice>(options);
        device = tcpDevice.get();
        link.OpenLink(updater::kTcpLink, 0, 0x7F000001, tcpDevice->port());
        ASSERT_TRUE(waitUntil([&] { return link.linkOpen(); }));
    }

    std::string writeFile(const char *name, const QByteArray &content)
    {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path.toStdString();
    }

    std::string writeImage(const char *name, const std::vector<std::uint8_t> &image)
    {
        return writeFile(name, QByteArray(reinterpret_cast<const char *>(image.data()),
                                          qsizetype(image.size())));
    }

    // Starts the supervisor and the job; returns when the job has ended.
    void runJob(int firmwareType, const std::string &path)
    {
        ASSERT_TRUE(link.linkOpen());
        job.setFirmware(firmwareType, path);
        supervisor = std::make_unique<updater::Supervisor>([this] { job.jobTick(); });
        job.downLoad(link.linkOpen());
        ASSERT_FALSE(job.idle());
        ASSERT_TRUE(waitUntil([&] { return job.idle(); }, 60000)) << "state " << job.jobState();
    }

    void expectSuccess()
    {
        EXPECT_EQ(job.lastOutcome(), updater::JobOutcome::Success) << job.lastError();
        EXPECT_EQ(host.messages(), std::vector<std::string>{"Download file success!"});
        // A device that acknowledges twice lets the job end while its last records
        // are still on their way: they must all arrive.
        EXPECT_TRUE(waitUntil([&] { return device->finished(); }, 10000));
        const updater::sim::Verdict verdict = device->verdict();
        EXPECT_TRUE(verdict.passed()) << updater::sim::formatVerdict(verdict);
        EXPECT_EQ(reporter.count(), 0u);
    }

    void runDsp(int records)
    {
        const std::string text = testsupport::hexOfRecords(records);
        runJob(updater::kDspFirmware, writeFile("dsp.hex", QByteArray::fromStdString(text)));
        expectSuccess();
        const auto image = device->verdict().image; // the records as the device took them
        EXPECT_EQ(std::string(image.begin(), image.end()), text);
    }

    void runArm(std::size_t length)
    {
        const auto image = armFirmware(length);
        const std::string path = writeImage("arm.bin", image);
        runJob(updater::kArmFirmware, path);
        expectSuccess();
        const auto received = device->verdict().image;
        ASSERT_EQ(received.size(), (length / 1024 + 1) * 1024);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), received.begin()));
        EXPECT_TRUE(std::all_of(received.begin() + std::ptrdiff_t(length), received.end(),
                                [](std::uint8_t b) { return b == 0x1A; }));
    }
};

} // namespace

TEST_F(EndToEnd, DspJobRunsToSuccessOverTheSerialLink)
{
    connectSerial();
    runDsp(120);
}

TEST_F(EndToEnd, ArmJobRunsToSuccessOverTheSerialLink)
{
    connectSerial();
    runArm(5000);
}

TEST_F(EndToEnd, DspJobRunsToSuccessOverTcp)
{
    connectTcp();
    runDsp(120);
}

TEST_F(EndToEnd, ArmJobRunsToSuccessOverTcp)
{
    connectTcp();
    runArm(5000);
}

// Two acknowledgements in one read make the DSP sender queue two records before
// the link writes the first: both must go out, in order.
TEST_F(EndToEnd, DoubleAcknowledgementOverSerialStillSendsEveryRecordOnceInOrder)
{
    options.faults.duplicateFrom = 4; // the erase is unit 1, record 3 is unit 4
    connectSerial();
    runDsp(20);
}

TEST_F(EndToEnd, DoubleAcknowledgementOverTcpStillSendsEveryRecordOnceInOrder)
{
    options.faults.duplicateFrom = 4;
    connectTcp();
    runDsp(20);
}

TEST_F(EndToEnd, ClosingTheLinkDuringAJobEndsItsThreadWithoutAHang)
{
    connectSerial();
    const auto image = armFirmware(200000);
    const std::string path = writeImage("big.bin", image);
    job.setFirmware(updater::kArmFirmware, path);
    supervisor = std::make_unique<updater::Supervisor>([this] { job.jobTick(); });
    job.downLoad(link.linkOpen());
    ASSERT_TRUE(waitUntil([&] { return device->received().size() >= 2 * 1029; }, 20000));
    link.CloseLink();
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    EXPECT_FALSE(link.linkOpen());
    EXPECT_FALSE(job.idle()); // the job notices only through its own time-out
    supervisor.reset();
    EXPECT_GE(job.abandon(), 0);
}
