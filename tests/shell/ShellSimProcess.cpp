// updater-sim, the simulator's own program, and updater-cli in processes of their
// own (POSIX only, as the simulator is).
#include "ShellRig.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace shelltest {

ChildProcess::ChildProcess(const QString &program, const QStringList &arguments)
{
    // Everything the child needs is made before fork(): after it, only calls that
    // are safe in a copy of a threaded process.
    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
#ifdef Q_OS_LINUX
        // A test that crashes leaves no child behind: it ends with the tests.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    out_ = pipeEnds[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    pid_ = pid;
    if (pid < 0)
        ADD_FAILURE() << "fork: " << std::strerror(errno);
}

ChildProcess::~ChildProcess()
{
    terminate();
    if (out_ >= 0)
        ::close(out_);
}

void ChildProcess::keepOutput()
{
    char buffer[4096];
    ssize_t n;
    while (out_ >= 0 && (n = ::read(out_, buffer, sizeof buffer)) > 0)
        pending_.append(buffer, n);
}

QByteArray ChildProcess::readAll()
{
    keepOutput();
    return std::exchange(pending_, QByteArray());
}

bool ChildProcess::waitForReadyRead(int ms)
{
    pollfd readable{out_, POLLIN, 0};
    return out_ >= 0 && ::poll(&readable, 1, ms) > 0;
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
            break;
        }
        if (deadline.hasExpired())
            return false;
        // Its output is kept as it comes, so that a child that writes much is not
        // left blocked on a full pipe.
        waitForReadyRead(10);
        keepOutput();
    }
    keepOutput();
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
{
    QStringList all = arguments;
    if (!all.contains(QStringLiteral("--pty")))
        all << QStringLiteral("--listen") << QStringLiteral("127.0.0.1:0");
    process_ = std::make_unique<ChildProcess>(QStringLiteral(UPDATER_SIM_PATH), all);
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
    process_->terminate();
    output();
}

} // namespace shelltest
