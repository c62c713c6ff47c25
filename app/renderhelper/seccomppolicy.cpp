#include "seccomppolicy.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <seccomp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Found by running renders of every kind (baseline and progressive JPEG,
// PNG, GIF, WebP, TIFF, BMP, icons, SVG with text, HEIF, AVIF) under
// strace -f, with the variants of the same calls glibc may choose instead.
const char *const ALLOWED[] = {
    // memory; mmap and mprotect below
    "brk", "munmap", "mremap", "madvise",
    // threads (Qt's pool, the decoders' workers) and their waits
    "futex", "set_robust_list", "rseq", "sched_yield", "sched_getaffinity", "gettid", "getpid", "exit", "exit_group",
    "eventfd2",
    // signals of its own, and abort
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "restart_syscall",
    "clock_gettime", "clock_getres", "gettimeofday", "nanosleep", "clock_nanosleep",
    // the picture's descriptor, and the font files it opens
    "read", "pread64", "lseek", "fstat", "newfstatat", "statx", "fcntl", "close",
    // the channel, and warnings on standard error
    "write", "writev", "sendmsg", "recvmsg", "poll", "ppoll",
    "getrandom", "sysinfo", "getuid", "geteuid", "getgid", "getegid",
};

// Flags that open a file for anything but reading.
const unsigned long WRITING[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC};

struct FilterReleaser
{
    void operator()(void *ctx) const { seccomp_release(ctx); }
};

// False for a name this architecture does not have (open, stat on arm64).
bool known(const char *name, int &nr)
{
    nr = seccomp_syscall_resolve_name(name);
    return nr >= 0;
}

bool addRules(scmp_filter_ctx ctx)
{
    int nr;
    for (const char *name : ALLOWED) {
        if (known(name, nr) && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nr, 0) != 0)
            return false;
    }
    // Threads only: a clone without CLONE_THREAD would be a new process.
    if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)) != 0
        || seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0)
        return false;
    // A signal to itself only (abort, a thread's own); a thread's name.
    if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(::getpid()))) != 0
        || seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)) != 0
        || seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_GET_NAME)) != 0)
        return false;
    // No new code: memory is never made executable (a JIT falls back to
    // interpreting). Everything the helper runs was loaded before.
    for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)}) {
        if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) != 0
            || seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)) != 0)
            return false;
    }
    // glibc asks nscd over a local socket before reading /etc/passwd when
    // a user's name is looked up (the zip reader behind the Krita and
    // OpenRaster plug-ins names the owner of its entries); refused, the
    // lookup falls back to the file. Any other family ends the helper.
    if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1, SCMP_A0(SCMP_CMP_EQ, AF_UNIX)) != 0)
        return false;
#ifdef K8_SANITIZED
    // The sanitizers' runtime finds out whether memory may be read by
    // writing it into a pipe of its own (LibRaw's reads meet this).
    if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(pipe2), 0) != 0)
        return false;
#endif
    // Terminal queries (isatty) find no terminal.
    if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOTTY), SCMP_SYS(ioctl), 0) != 0)
        return false;
    // Opens: the flags are the third argument of openat, the second of open.
    for (const auto &[name, flags] : {std::pair<const char *, unsigned>{"openat", 2}, {"open", 1}}) {
        if (!known(name, nr))
            continue;
        unsigned long all = 0;
        for (const unsigned long bit : WRITING) {
            all |= bit;
            if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), nr, 1, scmp_arg_cmp{flags, SCMP_CMP_MASKED_EQ, bit, bit}) != 0)
                return false;
        }
        if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nr, 1, scmp_arg_cmp{flags, SCMP_CMP_MASKED_EQ, all, 0}) != 0)
            return false;
    }
    for (const char *name : {"mkdir", "mkdirat", "creat"}) {
        if (known(name, nr) && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), nr, 0) != 0)
            return false;
    }
    return true;
}

} // namespace

bool installRenderFilter(QString &error)
{
    const std::unique_ptr<void, FilterReleaser> ctx(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!ctx) {
        error = QStringLiteral("cannot make a system-call filter");
        return false;
    }
    if (seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0 || !addRules(ctx.get())) {
        error = QStringLiteral("cannot write the system-call filter");
        return false;
    }
    const int rc = seccomp_load(ctx.get());
    if (rc != 0) {
        error = QStringLiteral("cannot load the system-call filter: %1").arg(QString::fromLocal8Bit(std::strerror(-rc)));
        return false;
    }
    return true;
}
