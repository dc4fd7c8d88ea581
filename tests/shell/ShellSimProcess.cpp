// updater-sim, the simulator's own program, in a process of its own (POSIX only,
// as the simulator is).
#include "ShellRig.h"

#include <gtest/gtest.h>

#include <csignal>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace shelltest {

SimProcess::SimProcess(const QStringList &arguments) : process_(std::make_unique<QProcess>())
{
    QStringList all = arguments;
    if (!all.contains(QStringLiteral("--pty")))
        all << QStringLiteral("--listen") << QStringLiteral("127.0.0.1:0");
    process_->setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    // A test that crashes leaves no simulator behind: it ends with the tests.
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    process_->start(QStringLiteral(UPDATER_SIM_PATH), all);
    // "updater-sim: listening on 127.0.0.1:PORT" or "updater-sim: serial device PATH".
    const bool said = WindowRig::waitFor(
        [this] {
            process_->waitForReadyRead(10);
            output_ += QString::fromLocal8Bit(process_->readAll());
            return output_.contains(QLatin1Char('\n'));
        },
        10000);
    if (said)
        where_ = output_.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(' '), -1).trimmed();
    if (where_.isEmpty())
        ADD_FAILURE() << "updater-sim did not start: " << output_.toStdString();
}

SimProcess::~SimProcess()
{
    stop();
}

QString SimProcess::output()
{
    output_ += QString::fromLocal8Bit(process_->readAll());
    return output_;
}

void SimProcess::stop()
{
    if (process_->state() == QProcess::NotRunning)
        return;
    process_->terminate();
    if (!process_->waitForFinished(3000))
        process_->kill();
    process_->waitForFinished(3000);
    output();
}

} // namespace shelltest
