// Runs a command and writes what it cost to a file (or standard error), so that
// the command's own output stays apart:
//
//   run_measured REPORT -- COMMAND [ARGS...]
//
// REPORT receives one line: "wall_ms=W max_rss_kib=R status=S cpu_ms=C", where S
// is the exit status, or 128 + the signal's number when a signal ended the
// command, and C the command's CPU time, user and system.
// "-" as REPORT writes to standard error. The exit status is the command's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: run_measured REPORT -- COMMAND [ARGS...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("run_measured: fork");
        return 2;
    }
    if (child == 0) {
        ::execvp(argv[3], argv + 3);
        std::fprintf(stderr, "run_measured: %s: %s\n", argv[3], std::strerror(errno));
        ::_exit(127);
    }
    int wstatus = 0;
    rusage usage{};
    if (::wait4(child, &wstatus, 0, &usage) != child) {
        std::perror("run_measured: wait4");
        return 2;
    }
    using Ms = std::chrono::duration<double, std::milli>;
    const double wallMs = Ms(std::chrono::steady_clock::now() - start).count();
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    std::FILE *report = std::strcmp(argv[1], "-") == 0 ? stderr : std::fopen(argv[1], "w");
    if (report == nullptr) {
        std::fprintf(stderr, "run_measured: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    // ru_maxrss is in KiB on Linux.
    const auto ms = [](const timeval &t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    std::fprintf(report, "wall_ms=%.1f max_rss_kib=%ld status=%d cpu_ms=%.1f\n", wallMs,
                 usage.ru_maxrss, status, ms(usage.ru_utime) + ms(usage.ru_stime));
    if (report != stderr)
        std::fclose(report);
    return status;
}
