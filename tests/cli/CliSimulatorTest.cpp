#include "CliTestSupport.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace clitest;

// The simulator's own transport: serving job after job, one host at a time.

TEST(Simulator, KeepsServingJobAfterJobWithRepeatAndJudgesEach)
{
    Sim sim({"--repeat"});
    for (const auto &[option, file] : {std::pair<QString, QString>{"--dsp", samples().dspHex},
                                       std::pair<QString, QString>{"--arm", samples().armImage}}) {
        const Finished cli = runCli({"--tcp", sim.tcpTarget(), option, file});
        EXPECT_EQ(cli.status, 0) << cli.err.toStdString();
    }
    const Finished verdicts = sim.terminate();
    EXPECT_EQ(verdicts.status, 0) << verdicts.out.toStdString();
    EXPECT_TRUE(verdicts.out.contains("verdict: DSP job, complete")) << verdicts.out.toStdString();
    EXPECT_TRUE(verdicts.out.contains("verdict: ARM job (wake-up answered '1'), complete"));
    EXPECT_EQ(verdicts.out.count("result: PASS"), 2);
}

// Like an inverter, the device restarts after a job and closes the connection;
// with --repeat the next host is served, with --stay nothing closes.
TEST(Simulator, ClosesTheConnectionAbout300MsAfterAJobUnlessToldToStay)
{
    for (const bool stay : {false, true}) {
        Sim sim(stay ? QStringList{"--repeat", "--stay"} : QStringList{"--repeat"});
        const int jobs = stay ? 1 : 2; // a host that stays keeps the device
        for (int job = 0; job < jobs; ++job) {
            QTcpSocket host;
            host.connectToHost(QHostAddress::LocalHost, sim.port());
            ASSERT_TRUE(host.waitForConnected(5000));
            for (const QByteArray &unit :
                 {QByteArray::fromHex("FA666C6173686296"), QByteArray::fromHex("00000001FF")}) {
                host.write(unit);
                ASSERT_TRUE(host.waitForReadyRead(5000));
                EXPECT_EQ(host.readAll(), QByteArray("\xCC"));
            }
            QElapsedTimer since;
            since.start();
            EXPECT_EQ(host.waitForDisconnected(stay ? 700 : 5000), !stay);
            EXPECT_GE(since.elapsed(), stay ? 0 : 250);
        }
        EXPECT_EQ(sim.terminate().out.count("result: PASS"), jobs);
    }
}

TEST(Simulator, TurnsAwayASecondHostWhileOneIsServed)
{
    Sim sim({});
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, sim.port());
    ASSERT_TRUE(first.waitForConnected(5000));
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, sim.port());
    second.waitForConnected(5000);
    EXPECT_TRUE(second.state() == QAbstractSocket::UnconnectedState ||
                second.waitForDisconnected(5000))
        << "the second host is disconnected";
    first.write("\xFE\xFD\xFC", 3);
    ASSERT_TRUE(first.waitForReadyRead(5000)) << "the first host is still served";
    EXPECT_EQ(first.readAll(), QByteArray("1"));
    first.disconnectFromHost();
    const Finished verdict = sim.finish();
    EXPECT_TRUE(verdict.err.contains("turned away")) << verdict.err.toStdString();
    EXPECT_TRUE(verdict.out.contains("units: 1 (wake-up)")) << verdict.out.toStdString();
}

TEST(Simulator, AHostThatConnectsAndSendsNothingGetsAFailingNoJobVerdict)
{
    Sim sim({});
    QTcpSocket host;
    host.connectToHost(QHostAddress::LocalHost, sim.port());
    ASSERT_TRUE(host.waitForConnected(5000));
    host.disconnectFromHost();
    const Finished verdict = sim.finish();
    EXPECT_EQ(verdict.status, 1);
    EXPECT_TRUE(verdict.out.contains("verdict: no job")) << verdict.out.toStdString();
}

// The updater's side of the same pipes.

TEST(CliOutput, AReaderOfStandardOutputThatGoesAwayDoesNotStopTheJob)
{
    Sim sim({"--expect", samples().armImage});
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const QByteArray program = QByteArrayLiteral(UPDATER_CLI_PATH);
    const QByteArray target = sim.tcpTarget().toLocal8Bit();
    const QByteArray image = samples().armImage.toLocal8Bit();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execl(program.constData(), program.constData(), "--tcp", target.constData(), "--arm",
                image.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(pipeFds[0]); // the reader is gone before the first status line
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(sim.finish().out.contains("result: PASS"));
}

TEST(CliOutput, ATraceFileThatFailsDuringTheJobIsReportedAndTheJobGoesOn)
{
    // Files may grow to 1 KiB only: the trace fails after its first lines.
    Sim sim({});
    const QString trace = samples().dir + "/too-large.trace";
    QProcess cli;
    cli.start("/bin/sh", {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", UPDATER_CLI_PATH,
                          "--tcp", sim.tcpTarget(), "--arm", samples().armImage, "--trace", trace});
    ASSERT_TRUE(cli.waitForFinished(60000));
    EXPECT_EQ(cli.exitCode(), 0);
    EXPECT_TRUE(cli.readAllStandardOutput().endsWith((kSuccess + "\n").toUtf8()));
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    EXPECT_EQ(err.count(trace + ": cannot write the trace file"), 1) << err.toStdString();
}

TEST(CliOutput, ATraceFileThatCannotBeWrittenIsAUsageError)
{
    const Finished cli = runCli({"--tcp", "127.0.0.1", "--dsp", samples().dspHex, "--trace",
                                 samples().dir + "/no-such-folder/job.log"});
    EXPECT_EQ(cli.status, 2);
    EXPECT_TRUE(cli.err.contains("cannot write the trace file")) << cli.err.toStdString();
}
