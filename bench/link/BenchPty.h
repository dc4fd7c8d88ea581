#pragma once

// A pseudo-terminal for the link benchmarks: the link opens name(), the benchmark
// plays the device on fd().
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

class Pty
{
public:
    Pty()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(2);
        }
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        name_ = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        ::close(master_);
        ::close(slave_);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int fd() const { return master_; }
    QString name() const { return name_; }

private:
    int master_ = -1;
    int slave_ = -1;
    QString name_;
};

} // namespace bench
