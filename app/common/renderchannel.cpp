#include "renderchannel.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace RenderChannel {

namespace {

void putU32(char *at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = char((v >> (8 * i)) & 0xff);
}

quint32 getU32(const char *at)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v |= quint32(uchar(at[i])) << (8 * i);
    return v;
}

// Waits until the channel has bytes or the deadline passes.
bool readable(int channel, const QDeadlineTimer &deadline, bool *timedOut)
{
    for (;;) {
        struct pollfd p = {channel, POLLIN, 0};
        const int wait = deadline.isForever() ? -1 : int(qMin<qint64>(deadline.remainingTime(), 1 << 30));
        const int n = ::poll(&p, 1, wait);
        if (n > 0)
            return true;
        if (n == 0) {
            if (timedOut)
                *timedOut = true;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

// Reads exactly size bytes; the first read also takes a passed descriptor.
bool readAll(int channel, char *into, size_t size, int *passedFd, const QDeadlineTimer &deadline, bool *timedOut)
{
    size_t got = 0;
    while (got < size) {
        if (!readable(channel, deadline, timedOut))
            return false;
        struct iovec io = {into + got, size - got};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        struct msghdr msg {};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(channel, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t fds = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < fds; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                // One descriptor a message, and only where one is expected.
                if (passedFd && *passedFd < 0)
                    *passedFd = fd;
                else
                    ::close(fd);
            }
        }
        got += size_t(n);
    }
    return true;
}

bool writeAll(int channel, const char *from, size_t size, int passFd)
{
    size_t sent = 0;
    while (sent < size) {
        struct iovec io = {const_cast<char *>(from + sent), size - sent};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        struct msghdr msg {};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        if (passFd >= 0 && sent == 0) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
        }
        const ssize_t n = ::sendmsg(channel, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

} // namespace

bool send(int channel, Type type, const QByteArray &payload, int passFd)
{
    if (quint32(payload.size()) > MAX_PAYLOAD)
        return false;
    QByteArray message(8, Qt::Uninitialized);
    putU32(message.data(), type);
    putU32(message.data() + 4, quint32(payload.size()));
    message += payload;
    return writeAll(channel, message.constData(), size_t(message.size()), passFd);
}

bool receive(int channel, Type &type, QByteArray &payload, int *passedFd, int timeoutMs, bool *timedOut)
{
    if (passedFd)
        *passedFd = -1;
    if (timedOut)
        *timedOut = false;
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    char header[8] = {};
    const bool whole = readAll(channel, header, sizeof header, passedFd, deadline, timedOut);
    const quint32 kind = getU32(header);
    const quint32 length = getU32(header + 4);
    if (!whole || kind < Request || kind > Ready || length > MAX_PAYLOAD) {
        if (passedFd && *passedFd >= 0) {
            ::close(*passedFd);
            *passedFd = -1;
        }
        return false;
    }
    type = Type(kind);
    payload.resize(int(length));
    if (length == 0 || readAll(channel, payload.data(), length, nullptr, deadline, timedOut))
        return true;
    if (passedFd && *passedFd >= 0) {
        ::close(*passedFd);
        *passedFd = -1;
    }
    return false;
}

} // namespace RenderChannel
