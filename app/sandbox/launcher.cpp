// k8thumbgen-launch: what a child of the service runs first (see childspawn.h).
// The service starts it with posix_spawn instead of forking itself, so
// that nothing of the threaded service runs in the child; it sets up the
// process and execs the program:
//
//   k8thumbgen-launch --parent PID [--ids UID GID GROUPS] [--data BYTES]
//                     [--nnp] [--fds N] [--status FD] -- PROGRAM ARGS...
//
// --parent  the service's pid: the child dies with it (SIGKILL), and does
//           not start at all when it is already gone
// --ids     run as UID and GID with the supplementary GROUPS (comma
//           separated, "-" for none)
// --data    RLIMIT_DATA in bytes
// --nnp     PR_SET_NO_NEW_PRIVS
// --fds     descriptors 3 .. 2+N stay open for the program; every other
//           one above 2 is closed
// --status  a close-on-exec descriptor on which a failure before the
//           program runs is reported (launchreport.h)
//
// Exit status 126 when the identity cannot be taken, 127 for any other
// failure before the program runs.
#include "launchreport.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int g_statusFd = -1;

[[noreturn]] void giveUp(LaunchReport::Stage stage, int error)
{
    const LaunchReport report{stage, error};
    if (g_statusFd >= 0) {
        ssize_t n;
        do {
            n = ::write(g_statusFd, &report, sizeof report);
        } while (n < 0 && errno == EINTR);
    }
    ::_exit(stage == LaunchReport::Identity ? 126 : 127);
}

bool toNumber(const char *text, long long min, long long max, long long &value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

bool toGroups(const char *text, std::vector<gid_t> &groups)
{
    if (!text)
        return false;
    if (std::strcmp(text, "-") == 0)
        return true;
    const char *start = text;
    for (;;) {
        const char *comma = std::strchr(start, ',');
        const std::string part = comma ? std::string(start, size_t(comma - start)) : std::string(start);
        long long g = 0;
        if (!toNumber(part.c_str(), 0, UINT_MAX - 1, g))
            return false;
        groups.push_back(gid_t(g));
        if (!comma)
            return true;
        start = comma + 1;
    }
}

// Closes the descriptors from first to last (both included).
void closeBetween(unsigned first, unsigned last)
{
    if (first > last)
        return;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, first, last, 0) == 0)
        return;
#endif
    // Kernels before 5.9: the open ones, from /proc.
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    std::vector<int> open;
    while (const dirent *entry = ::readdir(dir)) {
        long long fd = 0;
        if (toNumber(entry->d_name, 0, INT_MAX, fd) && fd != ::dirfd(dir) && unsigned(fd) >= first && unsigned(fd) <= last)
            open.push_back(int(fd));
    }
    ::closedir(dir);
    for (int fd : open)
        ::close(fd);
}

// posix_spawn leaves the C library's own signals (32 and 33, which its
// sigaction refuses) ignored in the launcher, and an ignored signal stays
// ignored across exec; the program gets them at their default, as after
// fork and exec. The kernel's record of the default is all zeros on every
// architecture. (The signals the service ignores or catches are reset by
// the spawn itself.)
void defaultLibrarySignals()
{
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current;
        if (::sigaction(signal, nullptr, &current) == 0 || errno != EINVAL)
            continue;
        const unsigned long zeros[8] = {};
        ::syscall(SYS_rt_sigaction, signal, zeros, nullptr, size_t(NSIG / 8));
    }
}

} // namespace

int main(int argc, char **argv)
{
    long long parent = 0, uid = -1, gid = -1, data = 0, fds = 0, status = -1;
    std::vector<gid_t> groups;
    bool ids = false, noNewPrivs = false;
    int i = 1;
    // A status descriptor first, so that a bad command line is reported.
    for (int j = 1; j + 1 < argc && std::strcmp(argv[j], "--") != 0; ++j) {
        if (std::strcmp(argv[j], "--status") == 0 && toNumber(argv[j + 1], 3, INT_MAX, status))
            g_statusFd = int(status);
    }
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        const auto next = [&](int n) { return i + n < argc ? argv[i + n] : nullptr; };
        bool ok = true;
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        } else if (std::strcmp(arg, "--parent") == 0) {
            ok = toNumber(next(1), 1, INT_MAX, parent);
            i += 1;
        } else if (std::strcmp(arg, "--ids") == 0) {
            ok = toNumber(next(1), 0, UINT_MAX - 1, uid) && toNumber(next(2), 0, UINT_MAX - 1, gid) && toGroups(next(3), groups);
            ids = true;
            i += 3;
        } else if (std::strcmp(arg, "--data") == 0) {
            ok = toNumber(next(1), 1, LLONG_MAX, data);
            i += 1;
        } else if (std::strcmp(arg, "--nnp") == 0) {
            noNewPrivs = true;
        } else if (std::strcmp(arg, "--fds") == 0) {
            ok = toNumber(next(1), 0, 1 << 20, fds);
            i += 1;
        } else if (std::strcmp(arg, "--status") == 0) {
            i += 1;   // taken above
        } else {
            ok = false;
        }
        if (!ok)
            giveUp(LaunchReport::Usage, EINVAL);
    }
    if (parent <= 0 || i >= argc)
        giveUp(LaunchReport::Usage, EINVAL);

    // Normally made by the spawn already; kept for a launcher started otherwise.
    ::setpgid(0, 0);

    if (ids && (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid_t(gid)) != 0 || ::setuid(uid_t(uid)) != 0))
        giveUp(LaunchReport::Identity, errno);

    // After the identity change, which clears the death signal; a parent
    // that died before this line is no longer there to send it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != pid_t(parent))
        ::_exit(127);

    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_CORE, &noCore) != 0)
        giveUp(LaunchReport::Limits, errno);
    if (data > 0) {
        // Lowered only: the hard limit may already be below (and, after
        // the identity change, cannot be raised).
        rlimit limit;
        if (::getrlimit(RLIMIT_DATA, &limit) != 0)
            giveUp(LaunchReport::Limits, errno);
        const rlim_t want = rlim_t(data);
        if (limit.rlim_max == RLIM_INFINITY || want < limit.rlim_max)
            limit.rlim_max = want;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_DATA, &limit) != 0)
            giveUp(LaunchReport::Limits, errno);
    }
    if (noNewPrivs && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        giveUp(LaunchReport::Limits, errno);

    // Descriptors the service had open without close-on-exec (another
    // thread's, a library's) are not the program's business. The status
    // descriptor stays until the exec closes it.
    unsigned from = 3 + unsigned(fds);
    if (g_statusFd >= 0) {
        if (::fcntl(g_statusFd, F_SETFD, FD_CLOEXEC) != 0)
            giveUp(LaunchReport::Limits, errno);
        if (unsigned(g_statusFd) >= from) {
            closeBetween(from, unsigned(g_statusFd) - 1);
            from = unsigned(g_statusFd) + 1;
        }
    }
    closeBetween(from, ~0U);
    defaultLibrarySignals();

    ::execvp(argv[i], argv + i);
    giveUp(LaunchReport::Exec, errno);
}
