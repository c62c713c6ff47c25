#ifndef RENDERCHANNEL_H
#define RENDERCHANNEL_H
#include <QByteArray>
#include <QtGlobal>

// The channel between the service and a render helper: a stream socket
// pair, one message after another, each
//
//   u32 type, u32 length (little-endian), then length bytes of payload,
//
// with at most one descriptor passed beside a message (SCM_RIGHTS). A
// helper says Ready (no payload) once, when it has loaded everything and
// locked itself in; then a render is one conversation:
//
//   service -> helper  Request   RenderRequest, then the file's name; the
//                                source's descriptor passed beside it
//   helper -> service  Reserve   i64: the bytes the decode will hold
//   service -> helper  Granted   u8: 1 granted, 0 refused (over the cap)
//   helper -> service  Result    i32 RenderResult, then the JPEG's bytes
//
// Reserve and Granted may be left out: a file refused before its
// estimate, or a first reservation within what the request granted (the
// service reserves that much before it sends the request, so that a
// small decode costs no round trip; a Reserve sent after all takes its
// place). Either side treats a malformed or oversized message as the end
// of the channel.
namespace RenderChannel {

enum Type : quint32 { Request = 1, Reserve = 2, Granted = 3, Result = 4, Ready = 5 };

struct RenderRequest
{
    qint32 kind = 0;          // MediaKind of the file: MediaImage, MediaHeif or MediaRaw
    qint32 width = 0;         // the box
    qint32 height = 0;
    qint32 reserved = 0;
    qint64 memoryCap = 0;     // what one decode may hold at most
    qint64 sourceLength = 0;  // how much of the source is the picture (0: all of it)
    qint64 granted = 0;       // bytes reserved with the request: a first Reserve within them is not sent
};

// The largest memory copy of a source the service keeps from one picture
// to the next; its helper keeps its mapping of no larger one.
constexpr qint64 KEPT_COPY_BYTES = qint64(16) << 20;

// A payload longer than this ends the channel: thumbnails of the largest
// box fit well within it.
constexpr quint32 MAX_PAYLOAD = 64u << 20;

// Sends one message, with passFd beside it when not -1. False on any error.
bool send(int channel, Type type, const QByteArray &payload, int passFd = -1);

// Receives one message within timeoutMs (< 0: no limit). A descriptor
// passed beside it lands in *passedFd (or is closed when passedFd is null);
// -1 when none came. False on a timeout (*timedOut set), the peer's end,
// or a malformed message.
bool receive(int channel, Type &type, QByteArray &payload, int *passedFd, int timeoutMs, bool *timedOut = nullptr);

} // namespace RenderChannel

#endif // RENDERCHANNEL_H
