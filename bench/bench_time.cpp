// Runs one shell command and reports what it cost, for bench/run.sh:
//
//   bench_time 'COMMAND'
//
// prints "wall_s user_s sys_s maxrss_kib status" on one line to stdout. The
// command runs under /bin/sh -c with its own output left alone; the clock
// starts just before the fork and stops when the child has been reaped, and
// the processor times and peak memory are the child's (its own children
// included), as wait4() reports them.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_time 'COMMAND'\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", argv[1], static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    pid_t done;
    do {
        done = wait4(child, &status, 0, &usage);
    } while (done < 0 && errno == EINTR);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (done < 0) {
        std::perror("wait4");
        return 1;
    }
    const double user = static_cast<double>(usage.ru_utime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    const double sys = static_cast<double>(usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %.6f %.6f %ld %d\n", wall, user, sys, usage.ru_maxrss, code);
    return 0;
}
