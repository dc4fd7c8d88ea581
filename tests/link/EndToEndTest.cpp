#include "FileDownCom.h"
#include "LinkTestSupport.h"
#include "ScriptedDevice.h"
#include "Supervisor.h"
#include "UpdateJob.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

using namespace linktest;

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

std::string hexByte(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

// An Intel HEX file of `records` data records of 16 bytes and the end record,
// with CR LF line ends; `wire` receives each record as the device must see it.
std::string dspFirmware(int records, std::vector<std::vector<std::uint8_t>> &wire)
{
    std::string text;
    for (int r = 0; r < records; ++r) {
        const unsigned address = unsigned(r) * 16;
        std::vector<std::uint8_t> record = {16, std::uint8_t(address >> 8),
                                            std::uint8_t(address & 0xFF), 0x00};
        for (int i = 0; i < 16; ++i)
            record.push_back(std::uint8_t(r * 7 + i * 13));
        unsigned sum = 0;
        for (auto b : record)
            sum += b;
        record.push_back(std::uint8_t((0x100 - (sum & 0xFF)) & 0xFF));
        text += ':';
        for (auto b : record)
            text += hexByte(b);
        text += "\r\n";
        wire.push_back(record);
    }
    text += ":00000001FF\r\n";
    wire.push_back({0x00, 0x00, 0x00, 0x01, 0xFF});
    return text;
}

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
    // The device outlives whatever carries its bytes.
    std::unique_ptr<ScriptedDevice> device;
    std::unique_ptr<Pty> pty;
    std::unique_ptr<PtyDeviceThread> ptyDevice;
    std::unique_ptr<TcpDevice> tcpDevice;
    QTemporaryDir dir;
    Host host;
    RecordingReporter reporter;
    updater::UpdateJob job{host};
    CFileDownCom link{&job, &reporter};
    std::unique_ptr<updater::Supervisor> supervisor;

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        host.link = &link;
    }
    // The supervisor goes first, then the link's threads, then the job.
    void TearDown() override
    {
        supervisor.reset();
        link.CloseLink();
    }

    void connectSerial(ScriptedDevice::Kind kind)
    {
        device = std::make_unique<ScriptedDevice>(kind);
        pty = std::make_unique<Pty>();
        ptyDevice = std::make_unique<PtyDeviceThread>(pty->deviceFd(), *device);
        ASSERT_TRUE(link.OpenSerialDevice(pty->name()));
    }

    void connectTcp(ScriptedDevice::Kind kind)
    {
        device = std::make_unique<ScriptedDevice>(kind);
        tcpDevice = std::make_unique<TcpDevice>(*device);
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
        EXPECT_TRUE(device->finished());
        EXPECT_EQ(device->strayBytes(), 0u);
        EXPECT_EQ(reporter.count(), 0u);
    }

    void runDsp(int records)
    {
        std::vector<std::vector<std::uint8_t>> wire;
        const std::string path =
            writeFile("dsp.hex", QByteArray::fromStdString(dspFirmware(records, wire)));
        runJob(updater::kDspFirmware, path);
        expectSuccess();
        auto units = device->units();
        ASSERT_EQ(units.size(), wire.size() + 1);
        EXPECT_EQ(units.front(),
                  (std::vector<std::uint8_t>{0xFA, 0x66, 0x6C, 0x61, 0x73, 0x68, 0x62, 0x96}));
        units.erase(units.begin());
        EXPECT_TRUE(units == wire) << "records differ from the file's lines";
    }

    void runArm(std::size_t length)
    {
        const auto image = armFirmware(length);
        const std::string path = writeImage("arm.bin", image);
        runJob(updater::kArmFirmware, path);
        expectSuccess();
        const auto received = device->image();
        ASSERT_EQ(received.size(), (length / 1024 + 1) * 1024);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), received.begin()));
        EXPECT_TRUE(std::all_of(received.begin() + std::ptrdiff_t(length), received.end(),
                                [](std::uint8_t b) { return b == 0x1A; }));
    }
};

} // namespace

TEST_F(EndToEnd, DspJobRunsToSuccessOverTheSerialLink)
{
    connectSerial(ScriptedDevice::Kind::Dsp);
    runDsp(120);
}

TEST_F(EndToEnd, ArmJobRunsToSuccessOverTheSerialLink)
{
    connectSerial(ScriptedDevice::Kind::Arm);
    runArm(5000);
}

TEST_F(EndToEnd, DspJobRunsToSuccessOverTcp)
{
    connectTcp(ScriptedDevice::Kind::Dsp);
    runDsp(120);
}

TEST_F(EndToEnd, ArmJobRunsToSuccessOverTcp)
{
    connectTcp(ScriptedDevice::Kind::Arm);
    runArm(5000);
}

// Two acknowledgements in one read make the DSP sender queue two records before
// the link writes the first: both must go out, in order.
TEST_F(EndToEnd, DoubleAcknowledgementOverSerialStillSendsEveryRecordOnceInOrder)
{
    connectSerial(ScriptedDevice::Kind::Dsp);
    device->doubleAcknowledgeRecord(3);
    runDsp(20);
}

TEST_F(EndToEnd, DoubleAcknowledgementOverTcpStillSendsEveryRecordOnceInOrder)
{
    connectTcp(ScriptedDevice::Kind::Dsp);
    device->doubleAcknowledgeRecord(3);
    runDsp(20);
}

TEST_F(EndToEnd, ClosingTheLinkDuringAJobEndsItsThreadWithoutAHang)
{
    connectSerial(ScriptedDevice::Kind::Arm);
    const auto image = armFirmware(200000);
    const std::string path = writeImage("big.bin", image);
    job.setFirmware(updater::kArmFirmware, path);
    supervisor = std::make_unique<updater::Supervisor>([this] { job.jobTick(); });
    job.downLoad(link.linkOpen());
    ASSERT_TRUE(waitUntil([&] { return device->image().size() >= 2048; }, 20000));
    link.CloseLink();
    EXPECT_EQ(CSerialPort::runningThreads(), 0);
    EXPECT_FALSE(link.linkOpen());
    EXPECT_FALSE(job.idle()); // the job notices only through its own time-out
    supervisor.reset();
    EXPECT_GE(job.abandon(), 0);
}
