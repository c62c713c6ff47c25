#ifndef SECCOMPPOLICY_H
#define SECCOMPPOLICY_H
#include <QString>

// The system calls a locked-in render helper may make: what decoding,
// scaling and drawing text need, reading the files it opens (fonts), and
// talking on the channel it has. Anything else ends the whole process
// with SIGSYS: no sockets of its own, no exec, no ptrace, no new process
// (clone only for a thread; clone3, whose flags a filter cannot see,
// fails with ENOSYS and glibc falls back to clone). Some calls fail
// instead of killing it, as harmless to refuse: a file opened for writing
// or creating, and a folder made (EACCES: fontconfig may try to write its
// cache), memory mapped or made executable (EPERM: a JIT falls back to
// interpreting), an ioctl (ENOTTY: isatty).
// Applies to every thread of the process; false with the reason in error.
bool installRenderFilter(QString &error);

#endif // SECCOMPPOLICY_H
