#ifndef BR2LOCALSOCKET_H
#define BR2LOCALSOCKET_H

#include "br2cabinet.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <pthread.h>

class BR2RequestBudget;
class BR2RequestHandler;

// One accepted connection, served on a thread of its own: it reads
// datagrams, has the server dispatch each request with the connection's one
// cabinet, and writes the replies back in order. The thread sleeps in a
// blocking read until data, the peer's hang-up or stop() (which shuts the
// socket down) wakes it, so an idle connection costs no CPU and one
// descriptor. The server owns the object and reclaims it once the thread
// has ended.
//
// Memory per connection is bounded: the JSON text of a request is held
// only within the server's request budget, and an attachment (which no
// command uses) is read and dropped as it arrives.
class BR2LocalSocket : public QObject
{
    Q_OBJECT
public:
    // A request whose JSON text and attachment together announce more than
    // this, or whose JSON text is longer than BR2RpcPacket::MAX_JSON_TEXT,
    // is refused at its header and the connection is closed.
    static const qint64 MAX_PAYLOAD = 64 * 1024 * 1024;
    // A JSON text longer than this takes budget and, to be decoded, one of
    // the few large-decode slots; shorter ones are read in one chunk.
    static constexpr int CHUNK_SIZE = 4096;
    static constexpr qint64 LARGE_DECODE = 64 * 1024;
    // A connection that holds budget and sends nothing for this long is
    // closed, so slow senders cannot keep others waiting; nor may it take
    // longer than this plus one second per MiB for the whole frame.
    static constexpr int STALL_TIMEOUT_MS = 5000;
    // How long a reply may wait for the peer to make room before the
    // connection is given up (the socket's send time-out).
    static const int WRITE_TIMEOUT_MS = 30000;

    // Takes over the descriptor, records the peer's credentials and starts
    // the thread. When no thread can be had, the descriptor is closed at
    // once and isStarted() is false. The budget outlives the connection.
    BR2LocalSocket(BR2RequestHandler *server, quintptr descriptor, const bool *debugging, const BR2PeerCredentials &peer,
                   bool trusted, BR2RequestBudget *budget);
    ~BR2LocalSocket() override;

    bool isStarted() const { return m_started; }
    bool isRunning() const { return m_running.load(); }
    // Asks the thread to end and waits until it has left its loop; the
    // connection is closed by then.
    void stop();
    // Waits for the thread to exit completely; the owner calls it once,
    // after the thread has ended or stop() returned.
    void join();

    BR2Cabinet *cabinet() { return &m_cabinet; }

protected:
    void run();

private:
    static void *threadMain(void *self);
    bool readable(int fd);
    bool receiveText(int fd);
    bool discardAttachment(int fd);
    bool waitForData(int fd);
    bool processBuffer(int fd);
    bool takeFrame(int fd);
    void releaseBudget();
    bool answer(int fd, const QJsonObject &request);
    bool writeAll(int fd, const QByteArray &bytes);
    void markEnded(int fd);

    BR2RequestHandler *m_server;
    quintptr m_descriptor;           // closed by the thread when it ends, under m_endMutex
    const bool *m_debugging;         // the server's switch, read at every reply
    BR2RequestBudget *m_budget;
    const uint m_uid;
    const bool m_trusted;
    // The thread's own state, never touched by others:
    QByteArray m_buffer;             // received and not yet decoded: at most a chunk, or one frame's header and JSON text
    qint64 m_textEnd = 0;            // header plus JSON text of that frame
    qint64 m_reserved = 0;           // budget held for the frame at the front of m_buffer
    qint64 m_frameDeadline = 0;      // monotonic ms by which that frame must be complete
    qint64 m_discard = 0;            // attachment bytes of that frame still to be read and dropped
    bool m_frameOpen = false;        // the frame at the front has a checked header
    BR2Cabinet m_cabinet;            // one for the whole connection
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    pthread_t m_thread{};
    bool m_started = false;
    bool m_joined = false;
    QMutex m_endMutex;               // guards closing m_descriptor against stop()'s shutdown, and the wait on m_ended
    QWaitCondition m_ended;          // signalled when m_running turns false
};

#endif // BR2LOCALSOCKET_H
