// updater-sim, the simulator's own program, and updater-cli in processes of their
// own (POSIX only, as the simulator is).
#include "ShellRig.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace shelltest {

namespace {

QStringList withListen(QStringList arguments)
{
    if (!arguments.contains(QStringLiteral("--pty")) &&
        !arguments.contains(QStringLiteral("--listen")))
        arguments << QStringLiteral("--listen") << QStringLiteral("127.0.0.1:0");
    return arguments;
}

} // namespace

ChildProcess::ChildProcess(const QString &program, const QStringList &arguments)
{
    if (!output_.open()) {
        ADD_FAILURE() << "no temporary file for the output of " << program.toStdString();
        return;
    }
    // Everything the child needs is made before fork(): after it, only calls that
    // are safe in a copy of a threaded process.
    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int out = output_.handle();
    pid_ = ::fork();
    if (pid_ == 0) {
#ifdef Q_OS_LINUX
        // A test that crashes leaves no child behind: it ends with the tests.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid_ < 0)
        ADD_FAILURE() << "cannot start " << program.toStdString();
}

QByteArray ChildProcess::output() const
{
    // The child writes at the end of the file; reading by offset leaves its
    // position alone.
    QByteArray all;
    char buffer[4096];
    ssize_t n;
    while (output_.handle() >= 0 &&
           (n = ::pread(output_.handle(), buffer, sizeof buffer, all.size())) > 0)
        all.append(buffer, n);
    return all;
}

bool ChildProcess::waitForFinished(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (pid_ > 0) {
        int status = 0;
        const pid_t ended = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
        if (ended == pid_ || (ended < 0 && errno != EINTR)) {
            exitCode_ = ended == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        } else if (deadline.hasExpired()) {
            return false;
        } else {
            QThread::msleep(10);
        }
    }
    return true;
}

void ChildProcess::terminate()
{
    if (pid_ <= 0)
        return;
    ::kill(static_cast<pid_t>(pid_), SIGTERM);
    if (!waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
        waitForFinished(3000);
    }
}

SimProcess::SimProcess(const QStringList &arguments)
    : process_(QStringLiteral(UPDATER_SIM_PATH), withListen(arguments))
{
    // "updater-sim: listening on 127.0.0.1:PORT" or "updater-sim: serial device PATH".
    QString said;
    if (WindowRig::waitFor(
            [&] {
                said = output();
                return said.contains(QLatin1Char('\n'));
            },
            10000))
        where_ = said.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(' '), -1).trimmed();
    if (where_.isEmpty())
        ADD_FAILURE() << "updater-sim did not start: " << said.toStdString();
}

} // namespace shelltest
