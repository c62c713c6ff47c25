#include "br2localsocket.h"

#include "br2error.h"
#include "br2requestbudget.h"
#include "br2requesthandler.h"
#include "br2rpcpacket.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const int HEADER_SIZE = BR2RpcPacket::HEADER_SIZE;
// Attachment bytes are read into a scratch area of this size and dropped.
const int DISCARD_CHUNK = 16384;

// Releases a large-decode slot however the decode ends.
class DecodeSlot
{
public:
    explicit DecodeSlot(BR2RequestBudget *budget) : m_budget(budget) {}
    ~DecodeSlot()
    {
        if (m_budget)
            m_budget->releaseDecode();
    }
    DecodeSlot(const DecodeSlot &) = delete;
    DecodeSlot &operator=(const DecodeSlot &) = delete;

private:
    BR2RequestBudget *m_budget;
};

} // namespace

BR2LocalSocket::BR2LocalSocket(BR2RequestHandler *server, quintptr descriptor, const bool *debugging,
                               const BR2PeerCredentials &peer, bool trusted, BR2RequestBudget *budget)
    : m_server(server)
    , m_descriptor(descriptor)
    , m_debugging(debugging)
    , m_budget(budget)
    , m_uid(peer.uid)
    , m_trusted(trusted)
{
    m_cabinet.insert(QStringLiteral("protocol"), 128);
    m_cabinet.setPeerCredentials(peer);

    // The thread waits in blocking calls; stop() ends them with shutdown.
    const int fd = int(descriptor);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct timeval sendTimeout {WRITE_TIMEOUT_MS / 1000, (WRITE_TIMEOUT_MS % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));

    m_running = true;
    m_started = ::pthread_create(&m_thread, nullptr, &BR2LocalSocket::threadMain, this) == 0;
    if (!m_started) {
        // No thread (for example the system's thread limit): the peer sees
        // the connection close; the service goes on.
        m_running = false;
        ::close(int(m_descriptor));
        m_descriptor = quintptr(-1);
    }
}

BR2LocalSocket::~BR2LocalSocket()
{
    if (m_started && !m_joined) {
        stop();
        join();
    }
}

void *BR2LocalSocket::threadMain(void *self)
{
    static_cast<BR2LocalSocket *>(self)->run();
    return nullptr;
}

void BR2LocalSocket::stop()
{
    m_stopping = true;
    QMutexLocker locker(&m_endMutex);
    // Shutting the socket down wakes the thread wherever it waits, in a
    // read or in a write; the descriptor stays valid because the thread closes it
    // only under this lock.
    if (m_running.load())
        ::shutdown(int(m_descriptor), SHUT_RDWR);
    while (m_running.load())
        m_ended.wait(&m_endMutex);
}

void BR2LocalSocket::join()
{
    if (m_started && !m_joined) {
        ::pthread_join(m_thread, nullptr);
        m_joined = true;
    }
}

void BR2LocalSocket::run()
{
    const int fd = int(m_descriptor);
    while (!m_stopping.load() && readable(fd)) {
    }
    releaseBudget();
    m_buffer = QByteArray();
    markEnded(fd);
}

// Waits in a blocking read for what the peer sends and answers every
// complete request. False ends the connection: hang-up, stop() (whose
// shutdown ends the read), read error, garbage, a stall while holding
// budget, or a reply that could not be written.
bool BR2LocalSocket::readable(int fd)
{
    bool ok;
    if (!m_frameOpen) {
        // Between frames: one chunk, which may hold several small requests.
        char chunk[CHUNK_SIZE];
        const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
        if (received > 0)
            m_buffer.append(chunk, int(received));
        ok = received > 0 || (received < 0 && errno == EINTR);
    } else if (m_buffer.size() < m_textEnd) {
        ok = receiveText(fd);
    } else {
        ok = discardAttachment(fd);
    }
    return ok && processBuffer(fd);
}

// Reads the rest of the open frame's JSON text, never past it.
bool BR2LocalSocket::receiveText(int fd)
{
    if (!waitForData(fd))
        return false;
    const int old = m_buffer.size();
    const qint64 missing = m_textEnd - old;
    m_buffer.resize(int(m_textEnd));
    const ssize_t received = ::recv(fd, m_buffer.data() + old, size_t(missing), 0);
    m_buffer.resize(old + int(qMax<ssize_t>(received, 0)));
    return received > 0 || (received < 0 && errno == EINTR);
}

bool BR2LocalSocket::discardAttachment(int fd)
{
    if (!waitForData(fd))
        return false;
    char scratch[DISCARD_CHUNK];
    const ssize_t received = ::recv(fd, scratch, size_t(qMin<qint64>(m_discard, DISCARD_CHUNK)), 0);
    if (received > 0)
        m_discard -= received;
    return received > 0 || (received < 0 && errno == EINTR);
}

// While the connection holds budget, the peer must keep sending: false
// after STALL_TIMEOUT_MS without a byte, or once the frame's deadline has
// passed (a trickle of bytes would otherwise hold the budget for ever).
// Otherwise it may take its time.
bool BR2LocalSocket::waitForData(int fd)
{
    if (m_reserved == 0)
        return true;
    struct pollfd p {fd, POLLIN, 0};
    int ready;
    do {
        const qint64 left = m_frameDeadline - QDeadlineTimer::current().deadline();
        if (left <= 0)
            return false;
        ready = ::poll(&p, 1, int(qMin<qint64>(left, STALL_TIMEOUT_MS)));
    } while (ready < 0 && errno == EINTR && !m_stopping.load());
    return ready > 0;
}

bool BR2LocalSocket::processBuffer(int fd)
{
    while (!m_stopping.load()) {
        if (!m_frameOpen) {
            if (m_buffer.startsWith(PACKET_KEEPALIVE)) {
                // Go on: a request behind the keep-alive is already here and
                // must not wait for bytes that may never come.
                m_buffer.remove(0, PACKET_KEEPALIVE.size());
                continue;
            }
            quint32 jsonSize = 0;
            quint32 attachmentSize = 0;
            if (!BR2RpcPacket::frameLengths(m_buffer, jsonSize, attachmentSize)) {
                // Not a datagram: nothing behind it can be framed again, and
                // leaving it would keep the peer waiting for ever.
                const bool incomplete = m_buffer.startsWith(PACKET_MARK) || m_buffer.size() < PACKET_KEEPALIVE.size();
                return incomplete;
            }
            if (jsonSize > BR2RpcPacket::MAX_JSON_TEXT || qint64(jsonSize) + attachmentSize > MAX_PAYLOAD)
                return false;
            m_textEnd = HEADER_SIZE + qint64(jsonSize);
            m_discard = attachmentSize;
            m_frameOpen = true;
            // A text longer than a chunk is about to be buffered: take its
            // bytes from the budget first, waiting with the socket unread.
            if (jsonSize > CHUNK_SIZE) {
                if (!m_budget->acquire(jsonSize, BR2RequestBudget::Holder{m_uid, m_trusted}, m_stopping))
                    return false;
                m_reserved = jsonSize;
                m_frameDeadline = QDeadlineTimer::current().deadline() + STALL_TIMEOUT_MS
                    + (qint64(jsonSize) + attachmentSize) / 1024 * 1000 / 1024;
            }
        }
        if (m_buffer.size() < m_textEnd)
            return true;
        if (m_discard > 0) {
            const int here = int(qMin<qint64>(m_discard, m_buffer.size() - m_textEnd));
            m_buffer.remove(int(m_textEnd), here);
            m_discard -= here;
            if (m_discard > 0)
                return true;
        }
        if (!takeFrame(fd))
            return false;
    }
    return false;
}

// Decodes the complete frame at the front and answers it. The reply comes
// only now, after the attachment's last byte, as it always has. A large
// request keeps its budget and its slot until its reply is made: what the
// commands make of it costs memory too.
bool BR2LocalSocket::takeFrame(int fd)
{
    const bool large = m_textEnd - HEADER_SIZE > LARGE_DECODE;
    if (large && !m_budget->acquireDecode(m_stopping))
        return false;
    const DecodeSlot slot(large ? m_budget : nullptr);
    BR2RpcPacket request;
    const int result = request.fromJsonText(m_buffer.constData() + HEADER_SIZE, int(m_textEnd - HEADER_SIZE));
    m_buffer.remove(0, int(m_textEnd));
    m_frameOpen = false;
    if (m_reserved > 0)
        m_buffer.squeeze();
    // An empty object (or an array) is a keep-alive: no reply.
    const bool ok = result == BR2RpcPacket::DATAGRAM_OK && (request.isEmpty() || answer(fd, request));
    request = BR2RpcPacket();
    releaseBudget();
    // What a large request's decoded form took goes back to the system, not
    // only to the heap of this thread.
    if (large)
        ::malloc_trim(0);
    return ok;
}

void BR2LocalSocket::releaseBudget()
{
    if (m_reserved > 0)
        m_budget->release(m_reserved, BR2RequestBudget::Holder{m_uid, m_trusted});
    m_reserved = 0;
}

bool BR2LocalSocket::answer(int fd, const QJsonObject &request)
{
    // The attachment of a request is not passed on, and a reply has none.
    BR2RpcPacket reply;
    reply.insert(QStringLiteral("err"), int(BR2Error::ERR_FAILED));
    m_server->doCall(reply, request, &m_cabinet);
    m_cabinet.toRetObject(reply, *m_debugging);
    const QByteArray datagram = reply.toDatagram();
    reply = BR2RpcPacket();
    // A reply waiting for its peer to read it is memory the peer holds: it
    // counts against the same budget as requests (the request's bytes are
    // given back first, so that one connection never waits for itself), and
    // a peer that does not read its replies waits for its own.
    releaseBudget();
    if (!m_budget->acquire(datagram.size(), BR2RequestBudget::Holder{m_uid, m_trusted}, m_stopping))
        return false;
    const bool written = writeAll(fd, datagram);
    m_budget->release(datagram.size(), BR2RequestBudget::Holder{m_uid, m_trusted});
    return written;
}

bool BR2LocalSocket::writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0 && !m_stopping.load()) {
        // MSG_NOSIGNAL: a peer that hung up costs this reply, not the
        // process. A send that makes no progress for the socket's send
        // time-out fails with EAGAIN: the peer reads nothing, and holding the
        // reply for ever would help nobody.
        const ssize_t sent = ::send(fd, data, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        left -= size_t(sent);
    }
    return left == 0;
}

void BR2LocalSocket::markEnded(int fd)
{
    {
        QMutexLocker locker(&m_endMutex);
        ::close(fd);
        m_descriptor = quintptr(-1);
        m_running = false;
        m_ended.wakeAll();
    }
    // Last touch of the server: it outlives every connection thread, since
    // its destructor stops and joins them before anything is released.
    m_server->connectionEnded();
}
