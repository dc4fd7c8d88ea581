// A pseudo-terminal served by the simulated inverter, named as a COM port (POSIX only).
#include "ShellRig.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace shelltest {

SimPty::SimPty(unsigned comNumber, const testsupport::PeerOptions &options)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    path_ = QString::fromLocal8Bit(::ptsname(master_));
    // Held open here, so that the device side never reads a hang-up before the
    // window opens the port; raw until the link configures it.
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    qputenv(("UPDATER_COM" + QByteArray::number(comNumber)).constData(), path_.toLocal8Bit());
    // Hanging up closes the controlling end: the window's reads and writes fail.
    device_ = std::make_unique<testsupport::PtySimDevice>(master_, options, [this] {
        ::close(master_);
        hungUp_ = true;
    });
}

SimPty::~SimPty()
{
    device_.reset();
    if (!hungUp_ && master_ >= 0)
        ::close(master_);
    for (int fd : {slave_, held_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SimPty::holdPort()
{
    held_ = ::open(path_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (held_ < 0 || ::flock(held_, LOCK_EX | LOCK_NB) != 0)
        ADD_FAILURE() << "cannot hold " << path_.toStdString();
}

} // namespace shelltest
