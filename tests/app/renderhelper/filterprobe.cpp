// Installs the render helper's system-call filter, then makes the one call
// its first argument names; its exit status tells how the call went (0: it
// worked, 1: EACCES, 2: another error, 3: no filter), unless the filter
// killed it. The second argument is a file it may try to create.
#include "seccomppolicy.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    QString error;
    if (argc != 3 || !installRenderFilter(error))
        return 3;
    const QByteArray call(argv[1]);
    int rc = -1;
    if (call == "socket")
        rc = ::socket(AF_INET, SOCK_STREAM, 0);
    else if (call == "exec")
        rc = ::execl("/bin/true", "true", static_cast<char *>(nullptr));
    else if (call == "fork")
        rc = ::fork();
    else if (call == "write")
        rc = ::open(argv[2], O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ::_exit(rc >= 0 ? 0 : errno == EACCES ? 1 : 2);
}
