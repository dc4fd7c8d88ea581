// Runs a command with the finest timer slack (1 ns instead of the default 50 us),
// so that the waits of a pacing program such as the line emulator end when they
// are due. The slack is inherited by the command and its children.
//
//   fine_timers COMMAND [ARGS...]
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: fine_timers COMMAND [ARGS...]\n");
        return 2;
    }
    if (::prctl(PR_SET_TIMERSLACK, 1UL) != 0)
        std::perror("fine_timers: timer slack unchanged");
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "fine_timers: %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
