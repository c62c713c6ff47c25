#include "threadpriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// From the kernel's ioprio interface, which glibc does not wrap.
const int IOPRIO_WHO_PROCESS = 1;
const int IOPRIO_CLASS_SHIFT = 13;

} // namespace

void lowerThreadPriority(const RenderSettings &settings)
{
    // Both calls act on one thread when given its thread id.
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, id_t(tid), settings.niceness);
    if (settings.ioClass != RenderSettings::IoUnchanged) {
        const int value = settings.ioClass == RenderSettings::IoIdle ? (3 << IOPRIO_CLASS_SHIFT)
                                                                     : (2 << IOPRIO_CLASS_SHIFT) | 7;   // best effort, lowest
        ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, tid, value);
    }
}
