#include "CliTestSupport.h"

#include <QFile>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>

namespace clitest {

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
}

QByteArray fixedSeedBytes(int count, unsigned seed)
{
    std::mt19937 generator(seed);
    QByteArray bytes(count, '\0');
    for (auto &b : bytes)
        b = static_cast<char>(generator() & 0xFF);
    return bytes;
}

Samples makeSamples()
{
    static QTemporaryDir dir;
    Samples s;
    s.dir = dir.path();
    s.dspBin = s.dir + "/dsp.bin";
    s.dspHex = s.dir + "/dsp.hex";
    s.armImage = s.dir + "/arm.bin";
    s.badHex = s.dir + "/bad.hex";
    writeFile(s.dspBin, fixedSeedBytes(6000, 7));
    writeFile(s.armImage, fixedSeedBytes(10000, 8));
    const int made = QProcess::execute(
        QStringLiteral(OBJCOPY_PATH),
        {"-I", "binary", "-O", "ihex", "--change-addresses", "0x10000", s.dspBin, s.dspHex});
    EXPECT_EQ(made, 0) << "objcopy could not make the sample HEX file";
    QByteArray hex = readFile(s.dspHex);
    QList<QByteArray> lines = hex.split('\n');
    lines[2][lines[2].size() - 2] = lines[2][lines[2].size() - 2] == '0' ? '1' : '0';
    writeFile(s.badHex, lines.join('\n'));
    return s;
}

} // namespace

const Samples &samples()
{
    static const Samples s = makeSamples();
    return s;
}

QStringList Finished::outLines() const
{
    return out.split('\n', Qt::SkipEmptyParts);
}

Sim::Sim(const QStringList &args, bool pty) : process_(std::make_unique<QProcess>())
{
    QStringList all = args;
    all << (pty ? QStringList{"--pty"} : QStringList{"--listen", "127.0.0.1:0"});
    process_->start(QStringLiteral(UPDATER_SIM_PATH), all);
    while (!process_->canReadLine() && process_->waitForReadyRead(5000)) {
    }
    first_ = QString::fromUtf8(process_->readLine()).trimmed();
    const QString tcp = QStringLiteral("updater-sim: listening on 127.0.0.1:");
    const QString serial = QStringLiteral("updater-sim: serial device ");
    if (first_.startsWith(tcp))
        port_ = static_cast<quint16>(first_.mid(tcp.size()).toUInt());
    else if (first_.startsWith(serial))
        device_ = first_.mid(serial.size());
    else
        ADD_FAILURE() << "updater-sim did not start: " << first_.toStdString()
                      << process_->readAllStandardError().toStdString();
}

Sim::~Sim()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

Finished Sim::finish(int timeoutMs)
{
    Finished f;
    if (!process_->waitForFinished(timeoutMs))
        ADD_FAILURE() << "updater-sim did not end by itself";
    f.status = process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
    f.out = first_ + "\n" + QString::fromUtf8(process_->readAllStandardOutput());
    f.err = QString::fromUtf8(process_->readAllStandardError());
    return f;
}

Finished Sim::terminate()
{
    process_->terminate();
    return finish(5000);
}

Finished runCli(const QStringList &args, int timeoutMs, const QProcessEnvironment &env)
{
    QProcess cli;
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(UPDATER_CLI_PATH), args);
    Finished f;
    if (!cli.waitForFinished(timeoutMs)) {
        ADD_FAILURE() << "updater-cli did not end within " << timeoutMs << " ms";
        cli.kill();
        cli.waitForFinished();
    }
    f.status = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    f.out = QString::fromUtf8(cli.readAllStandardOutput());
    f.err = QString::fromUtf8(cli.readAllStandardError());
    return f;
}

Finished runCliUntil(const QStringList &args, const QString &said, int signal,
                     const QString &ignored)
{
    QProcess cli;
    if (ignored.isEmpty()) {
        cli.start(QStringLiteral(UPDATER_CLI_PATH), args);
    } else {
        // The shell ignores the signal and becomes the program, which inherits that.
        cli.start("/bin/sh", QStringList{"-c", "trap '' " + ignored + "; exec \"$0\" \"$@\"",
                                         QStringLiteral(UPDATER_CLI_PATH)} +
                                 args);
    }
    QByteArray out;
    while (!out.contains(said.toUtf8()) && cli.waitForReadyRead(10000))
        out += cli.readAllStandardOutput();
    EXPECT_TRUE(out.contains(said.toUtf8())) << out.toStdString();
    if (signal != 0)
        ::kill(static_cast<pid_t>(cli.processId()), signal);
    EXPECT_TRUE(cli.waitForFinished(30000));
    Finished f;
    f.status = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    f.out = QString::fromUtf8(out + cli.readAllStandardOutput());
    f.err = QString::fromUtf8(cli.readAllStandardError());
    return f;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void expectExactUpdate(const QString &option, const QString &file, bool pty,
                       const QStringList &simExtra)
{
    static std::atomic<int> runs{0};
    const QString saved = samples().dir + "/saved-" + option.mid(2) + (pty ? "-pty-" : "-tcp-") +
                          QString::number(++runs);
    Sim sim(QStringList{"--expect", file, "--save", saved} + simExtra, pty);
    const QString target = pty ? sim.device() : sim.tcpTarget();
    const Finished cli = runCli({pty ? "--serial" : "--tcp", target, option, file});
    EXPECT_EQ(cli.status, 0) << cli.err.toStdString();
    EXPECT_EQ(cli.outLines(), option == "--dsp" ? kDspLines : kArmLines) << cli.out.toStdString();
    EXPECT_EQ(cli.err, QString()) << "nothing on standard error, no progress bar on a pipe";
    const Finished verdict = sim.finish();
    EXPECT_EQ(verdict.status, 0) << verdict.out.toStdString();
    EXPECT_TRUE(verdict.out.contains("result: PASS")) << verdict.out.toStdString();
    EXPECT_TRUE(verdict.out.contains("expected: matches")) << verdict.out.toStdString();
    EXPECT_EQ(readFile(saved), readFile(file)) << "the image the device rebuilt";
}

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace clitest
