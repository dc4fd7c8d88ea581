#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace clitest {

// Sample firmware made afresh for the tests in a temporary folder: nothing
// binary lives in the repository.
struct Samples
{
    QString dir;
    QString dspHex;   // Intel HEX from objcopy: 6000 random bytes at 0x10000, CR LF
    QString dspBin;   // the bytes that dspHex carries
    QString armImage; // 10000 fixed-seed bytes: 10 data blocks, the last one short
    QString badHex;   // line 3 has a wrong checksum
};
const Samples &samples();

// What a finished process left.
struct Finished
{
    int status = -1;
    QString out;
    QString err;
    QStringList outLines() const;
};

// updater-sim started with the given arguments, on a free loopback port or on a
// pseudo-terminal (pty = true).
class Sim
{
public:
    explicit Sim(const QStringList &args, bool pty = false);
    ~Sim();
    QString tcpTarget() const { return QStringLiteral("127.0.0.1:") + QString::number(port_); }
    QString device() const { return device_; }
    quint16 port() const { return port_; }
    // Waits for the simulator to end by itself (it does once its host has gone).
    Finished finish(int timeoutMs = 15000);
    // Stops it with SIGTERM and returns what it printed.
    Finished terminate();

private:
    std::unique_ptr<QProcess> process_;
    QString first_;
    quint16 port_ = 0;
    QString device_;
};

// Runs updater-cli to its end.
Finished runCli(const QStringList &args, int timeoutMs = 60000,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// Runs updater-cli until it has said `said` on standard output, then sends it the
// signal (0: none) and waits for its end. With ignored ("HUP"), the program starts
// with that signal ignored, as under nohup.
Finished runCliUntil(const QStringList &args, const QString &said, int signal,
                     const QString &ignored = {});

QByteArray readFile(const QString &path);

// A loopback port on which nothing listens (taken, then let go).
quint16 closedPort();

// The exact texts the program prints.
inline const QString kSuccess = QStringLiteral("Download file success!");
inline const QString kTimeOut = QString::fromUtf8("time out\xEF\xBC\x81");

// Standard output of a whole update, line by line.
inline const QStringList kDspLines = {"Erase...", "Erase Done.", "Programing...",
                                      "Programing Done.", kSuccess};
inline const QStringList kArmLines = {"Connecting...", "Erase...",         "Erase Done.",
                                      "Programing...", "Programing Done.", kSuccess};

// Runs one update (option "--dsp" or "--arm") against a simulator given simExtra
// and checks both ends: the status lines in order, nothing on standard error, and
// a verdict that passes with the rebuilt image equal to the file byte for byte.
// Safe to call from several threads at once.
void expectExactUpdate(const QString &option, const QString &file, bool pty,
                       const QStringList &simExtra = {});

} // namespace clitest
