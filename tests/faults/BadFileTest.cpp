// Malformed firmware files through updater-cli: each is refused before anything
// reaches the device, naming the file (and for HEX the line), with exit status 2;
// an image that shrinks while it is being sent ends the job naming the file.
#include "FaultSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace clitest;
using namespace faulttest;

namespace {

// ":" and the upper-case digits of bytes, the checksum appended when asked.
QByteArray hexLine(QByteArray bytes, bool addChecksum = true)
{
    if (addChecksum) {
        quint8 sum = 0;
        for (char b : bytes)
            sum = quint8(sum + quint8(b));
        bytes.append(char(quint8(-sum)));
    }
    return ":" + bytes.toHex().toUpper();
}

QByteArray record(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    return hexLine(bytes + data);
}

QByteArray dataBytes(int count, int seed)
{
    QByteArray data;
    for (int i = 0; i < count; ++i)
        data.append(char((seed * 37 + i * 11) & 0xFF));
    return data;
}

// 22 lines: an extended linear address record, 20 data records of 16 bytes, the
// end-of-file record.
QList<QByteArray> goodLines()
{
    QList<QByteArray> lines = {record(0x04, 0, QByteArray::fromHex("0001"))};
    for (int i = 0; i < 20; ++i)
        lines << record(0x00, quint16(i * 16), dataBytes(16, i));
    lines << ":00000001FF";
    return lines;
}

QByteArray spelled(const QByteArray &line)
{
    return QByteArray::fromHex(line.mid(1));
}

void setByte(QByteArray &line, int index, int delta, bool fixChecksum)
{
    QByteArray bytes = spelled(line);
    bytes[index] = char(quint8(bytes[index]) + delta);
    line = fixChecksum ? hexLine(bytes.chopped(1)) : hexLine(bytes, false);
}

struct BadHexKind
{
    const char *name;
    const char *fault; // as the program says it; "" for a fault of the whole file
    std::function<void(QList<QByteArray> &lines, int index)> spoil;
};

void putChar(QByteArray &line, char c)
{
    line[line.size() / 2] = c;
}

const std::vector<BadHexKind> &badHexKinds()
{
    static const char *kChecksum = "checksum mismatch";
    static const char *kOdd = "odd number of hex digits";
    static const char *kNotHex = "a character that is not a hex digit";
    static const char *kLong = "the line spells more than 68 bytes";
    static const char *kCount = "the byte count disagrees with the line's length";
    static const char *kNoRecord = "no record on this line";
    static const char *kNoData = "a record without data bytes before the end-of-file record";
    static const char *kShort = "the record is shorter than 5 bytes";
    static const char *kType = "a record type above 05";
    static const char *kAddress = "an address record (type 02 or 04) whose data is not 2 bytes";
    static const char *kStart = "a start address record (type 03 or 05) whose data is not 4 bytes";
    static const char *kEndData = "an end-of-file record with data bytes";
    using Lines = QList<QByteArray>;
    static const std::vector<BadHexKind> kinds = {
        {"checksum one too high", kChecksum,
         [](Lines &l, int i) { setByte(l[i], int(spelled(l[i]).size()) - 1, 1, false); }},
        {"address changed under its checksum", kChecksum,
         [](Lines &l, int i) { setByte(l[i], 2, 1, false); }},
        {"record type changed under its checksum", kChecksum,
         [](Lines &l, int i) { setByte(l[i], 3, 2, false); }},
        {"last digit missing", kOdd, [](Lines &l, int i) { l[i].chop(1); }},
        {"extra digit after the colon", kOdd, [](Lines &l, int i) { l[i].insert(1, '0'); }},
        {"letter G", kNotHex, [](Lines &l, int i) { putChar(l[i], 'G'); }},
        {"blank inside the line", kNotHex, [](Lines &l, int i) { putChar(l[i], ' '); }},
        {"NUL byte", kNotHex, [](Lines &l, int i) { putChar(l[i], '\0'); }},
        {"byte 0xFF", kNotHex, [](Lines &l, int i) { putChar(l[i], '\xFF'); }},
        {"69 bytes", kLong, [](Lines &l, int i) { l[i] = record(0x00, 0x100, dataBytes(64, i)); }},
        {"100 bytes", kLong, [](Lines &l, int i) { l[i] = record(0x00, 0x200, dataBytes(95, i)); }},
        {"byte count one too high", kCount, [](Lines &l, int i) { setByte(l[i], 0, 1, true); }},
        {"byte count one too low", kCount, [](Lines &l, int i) { setByte(l[i], 0, -1, true); }},
        {"empty line", kNoRecord, [](Lines &l, int i) { l[i] = ""; }},
        {"text without a colon", kNoRecord, [](Lines &l, int i) { l[i] = "no record here"; }},
        {"data record without data", kNoData, [](Lines &l, int i) { l[i] = record(0x00, 0, {}); }},
        {"address record without data", kNoData,
         [](Lines &l, int i) { l[i] = record(0x04, 0, {}); }},
        {"file ends without the end-of-file record", "",
         [](Lines &l, int i) { l.erase(l.begin() + std::min(i + 1, int(l.size()) - 1), l.end()); }},
        {"two bytes", kShort, [](Lines &l, int i) { l[i] = ":0102"; }},
        {"colon alone", kShort, [](Lines &l, int i) { l[i] = ":"; }},
        {"four bytes", kShort, [](Lines &l, int i) { l[i] = ":00000001"; }},
        {"record type 06", kType, [](Lines &l, int i) { l[i] = record(0x06, 0, dataBytes(4, i)); }},
        {"type 02 record with 3 data bytes", kAddress,
         [](Lines &l, int i) { l[i] = record(0x02, 0, QByteArray("\x10\0\0", 3)); }},
        {"type 04 record with 1 data byte", kAddress,
         [](Lines &l, int i) { l[i] = record(0x04, 0, "\x01"); }},
        {"type 03 record with 2 data bytes", kStart,
         [](Lines &l, int i) { l[i] = record(0x03, 0, "\x12\x34"); }},
        {"type 05 record with 5 data bytes", kStart,
         [](Lines &l, int i) { l[i] = record(0x05, 0, dataBytes(5, i)); }},
        {"end-of-file record with data", kEndData,
         [](Lines &l, int i) { l[i] = record(0x01, 0, dataBytes(1, i)); }},
    };
    return kinds;
}

struct RefusedFile
{
    QString path;
    QString option;   // "--dsp" or "--arm"
    QString expected; // what standard error must say, the path included
    std::string description;
};

QByteArray joined(const QList<QByteArray> &lines, const QByteArray &end)
{
    return lines.join(end) + end;
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size())
        << path.toStdString();
}

std::vector<RefusedFile> makeBadHexFiles(const QString &dir)
{
    const int count = int(goodLines().size());
    const std::vector<std::pair<const char *, int>> positions = {
        {"first", 0}, {"middle", count / 2}, {"last", count - 1}};
    std::vector<RefusedFile> files;
    for (const BadHexKind &kind : badHexKinds()) {
        for (const auto &[where, index] : positions) {
            QList<QByteArray> lines = goodLines();
            kind.spoil(lines, index);
            // Every other file with LF line ends: the check takes CR LF, CR and LF alike.
            const bool lf = files.size() % 4 == 2;
            const QString path = QStringLiteral("%1/bad-%2.hex").arg(dir).arg(files.size());
            writeBytes(path, joined(lines, lf ? "\n" : "\r\n"));
            const QString fault =
                *kind.fault == '\0' ? QStringLiteral("no end-of-file record")
                                    : QStringLiteral("line %1: %2").arg(index + 1).arg(kind.fault);
            const std::string what = std::string(kind.name) + " at the " + where + " line";
            files.push_back({path, "--dsp", path + ": " + fault, what});
            // A HEX text with a damaged line is still no LCD ARM image.
            files.push_back({path, "--arm",
                             path + ": the file is an Intel HEX file for DSP Firmware",
                             what + ", as an image"});
        }
    }
    // Line 13 gives 8 bytes of line 6's data record (0x10040..0x1004F) other values.
    QList<QByteArray> lines = goodLines();
    lines.insert(12, record(0x00, 0x48, dataBytes(8, 99)));
    const QString path = dir + "/overlap.hex";
    writeBytes(path, joined(lines, "\r\n"));
    files.push_back({path, "--dsp",
                     path + ": line 13: data that overlaps earlier data with different values "
                            "(address 0x00010048, first given on line 6)",
                     "data given other values"});
    return files;
}

std::vector<RefusedFile> makeBadImageFiles(const QString &dir)
{
    const QString empty = dir + "/empty.bin";
    writeBytes(empty, {});
    const QString folder = dir + "/folder.bin";
    QDir().mkpath(folder);
    const QString missing = dir + "/missing.bin";
    std::vector<RefusedFile> files;
    for (const QString option : {"--arm", "--dsp"}) {
        files.push_back({empty, option, empty + ": the file is empty", "an empty file"});
        files.push_back({missing, option, missing + ": the file does not exist", "a missing path"});
        files.push_back({folder, option, folder + ": not a regular file", "a directory"});
        files.push_back({"/dev/zero", option, "/dev/zero: not a regular file", "/dev/zero"});
    }
    const auto sparseFile = [&](const QString &name, qint64 size) {
        const QString path = dir + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
            ADD_FAILURE() << "cannot make " << path.toStdString();
        return path;
    };
    // No line of it can be a record: refused at once, not after reading 60 MiB.
    const QString zeros = sparseFile("zeros.hex", 60LL << 20);
    files.push_back(
        {zeros, "--dsp",
         zeros + ": line 1: the line is longer than any Intel HEX record (521 characters)",
         "60 MiB of zero bytes"});
    // Text chosen as an LCD ARM image, in every layout an editor or a tool leaves it.
    const QByteArray text = joined(goodLines(), "\r\n");
    QByteArray comments;
    for (int i = 0; i < 9; ++i)
        comments += "# generated by the build, step " + QByteArray::number(i) + "\n";
    QByteArray blanks = text;
    blanks.replace("\r\n", "  \r\n");
    const auto utf16 = [](const QByteArray &bytes, bool bom) {
        const QString decoded = QString::fromLatin1(bytes);
        QByteArray out = bom ? QByteArray("\xFF\xFE") : QByteArray();
        return out +
               QByteArray(reinterpret_cast<const char *>(decoded.utf16()), decoded.size() * 2);
    };
    const QByteArray trace = "       0 ms  start Updater\n     301 ms  > state 1  FE FD FC  (3 "
                             "bytes)\n     302 ms  < state 2  31\n";
    const std::vector<std::tuple<const char *, QByteArray, const char *>> texts = {
        {"a DSP HEX file", text, "an Intel HEX file for DSP Firmware"},
        {"a HEX file with blanks at its line ends", blanks, "an Intel HEX file for DSP Firmware"},
        {"a HEX file after 9 comment lines", comments + text, "an Intel HEX file for DSP Firmware"},
        {"a HEX file in UTF-16 with BOM", utf16(text, true), "an Intel HEX file for DSP Firmware"},
        {"a HEX file in UTF-16", utf16(text, false), "an Intel HEX file for DSP Firmware"},
        {"a support log", trace, "a support log of an update"},
        {"a text file", "LCD firmware 2.1: see the release notes\n", "a text file"},
    };
    for (const auto &[what, bytes, kind] : texts) {
        const QString path = dir + "/text-" + QString::number(files.size()) + ".bin";
        writeBytes(path, bytes);
        files.push_back({path, "--arm",
                         path + ": the file is " + kind + ", not an LCD ARM Firmware image",
                         std::string(what) + " chosen as an LCD ARM image"});
    }
    // Larger than any inverter's flash: refused by size, not read.
    const QString image = sparseFile("big.bin", (16LL << 20) + 1);
    files.push_back({image, "--arm", image + ": the file is larger than 16 MiB", "a 16 MiB image"});
    const QString big = sparseFile("big.hex", 315LL << 20);
    files.push_back({big, "--dsp", big + ": the file is larger than 64 MiB", "a 315 MB HEX file"});
    // The device keeps a 16-bit offset: data past 0xFFFF would land at 0x0000.
    QList<QByteArray> crossing = goodLines();
    crossing.insert(3, record(0x00, 0xFFF8, dataBytes(16, 7)));
    const QString crossingPath = dir + "/crossing.hex";
    writeBytes(crossingPath, joined(crossing, "\r\n"));
    files.push_back({crossingPath, "--dsp",
                     crossingPath + ": line 4: the record crosses a 64 KiB boundary",
                     "a record from 0xFFF8 to 0x10007"});
    return files;
}

} // namespace

TEST(BadFile, TheGeneratedHexFileIsSoundBeforeItIsSpoiled)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/good.hex";
    writeBytes(path, joined(goodLines(), "\r\n"));
    expectExactUpdate("--dsp", path, false);
}

TEST(BadFile, EveryMalformedFileIsRefusedByNameBeforeAnyByteReachesTheDevice)
{
    samples();
    QTemporaryDir dir;
    std::vector<RefusedFile> files = makeBadHexFiles(dir.path());
    ASSERT_GE(files.size(), 120u);
    const std::vector<RefusedFile> images = makeBadImageFiles(dir.path());
    files.insert(files.end(), images.begin(), images.end());
    // Devices that serve job after job; neither may see a single byte.
    Sim tcp({"--repeat"});
    Sim pty({"--repeat"}, true);
    runInParallel(int(files.size()), parallelCases(), [&](int i) {
        const RefusedFile &f = files[std::size_t(i)];
        SCOPED_TRACE(f.description + " (" + f.option.toStdString() + " " + f.path.toStdString() +
                     ")");
        const bool overPty = (i + i / 2) % 2 == 1; // either link for either firmware option
        QElapsedTimer clock;
        clock.start();
        const Finished cli = runCli({overPty ? "--serial" : "--tcp",
                                     overPty ? pty.device() : tcp.tcpTarget(), f.option, f.path});
        EXPECT_LT(clock.elapsed(), 10000) << "a refusal comes at once";
        EXPECT_EQ(cli.status, 2) << cli.err.toStdString();
        EXPECT_TRUE(cli.err.contains("Firmware file refused!")) << cli.err.toStdString();
        EXPECT_TRUE(cli.err.contains(f.expected))
            << "expected \"" << f.expected.toStdString() << "\" in: " << cli.err.toStdString();
        EXPECT_EQ(cli.out, QString()) << "no status line: the job never started";
    });
    for (Sim *sim : {&tcp, &pty}) {
        const Finished seen = sim->terminate();
        EXPECT_FALSE(seen.out.contains("verdict")) << "the device saw a connection or bytes:\n"
                                                   << seen.out.toStdString();
    }
}

// The image is read once before the wake-up: a file rewritten or cut during the
// job does not change what the device gets.
TEST(BadFile, AnImageChangedDuringTheJobStillArrivesAsItWasChecked)
{
    QTemporaryDir dir;
    runInParallel(2, 2, [&](int i) {
        const bool overPty = i == 1;
        SCOPED_TRACE(overPty ? "over a pseudo-terminal, rewritten" : "over TCP, cut short");
        const QString image = dir.path() + "/changing-" + QString::number(i) + ".bin";
        const QByteArray original = dataBytes(10000, 3); // 10 data blocks
        writeBytes(image, original);
        const QString expect = dir.path() + "/original-" + QString::number(i) + ".bin";
        writeBytes(expect, original);
        // Late answers leave time to change the file between two blocks.
        Sim sim({"--delay-ms", "200", "--expect", expect}, overPty);
        WatchedCli cli({overPty ? "--serial" : "--tcp", overPty ? sim.device() : sim.tcpTarget(),
                        "--arm", image},
                       dir.path() + "/trace-" + QString::number(i) + ".log");
        // Units: wake-up, digit, header block, data block 1, data block 2.
        ASSERT_TRUE(cli.waitForUnitsSent(5));
        if (overPty) {
            QFile file(image);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite)); // in place, as a build rewrites it
            ASSERT_EQ(file.write(dataBytes(10000, 4)), 10000);
        } else {
            ASSERT_TRUE(QFile::resize(image, 1500));
        }
        const Finished done = cli.finish();
        EXPECT_EQ(done.status, 0) << done.err.toStdString();
        EXPECT_TRUE(done.out.contains(kSuccess)) << done.out.toStdString();
        const Finished verdict = sim.finish();
        EXPECT_TRUE(verdict.out.contains("result: PASS")) << verdict.out.toStdString();
    });
}
