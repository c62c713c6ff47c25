#include "requestloop.h"

#include "memorybudget.h"
#include "renderchannel.h"
#include "renderpicture.h"
#include "rendersettings.h"

#include <QFile>

#include <cstring>
#include <malloc.h>
#include <unistd.h>

namespace {

int g_channel = -1;
bool g_broken = false;       // the service answered a reservation with other than Granted
qint64 g_asked = 0;          // the last reservation asked for
qint64 g_granted = 0;        // what the request granted, until a reservation takes it

// A decode above this gives its heap back when it is done, so that the
// next picture's data limit is not spent on free memory.
const qint64 TRIM_ABOVE = qint64(128) << 20;

// The service's budget: the decode waits until it grants the bytes or
// refuses them.
bool askService(qint64 bytes)
{
    g_asked = bytes;
    const qint64 granted = g_granted;
    g_granted = 0;
    if (bytes <= granted && !g_broken)
        return true;
    const QByteArray ask(reinterpret_cast<const char *>(&bytes), sizeof bytes);
    RenderChannel::Type type;
    QByteArray answer;
    if (g_broken || !RenderChannel::send(g_channel, RenderChannel::Reserve, ask)
        || !RenderChannel::receive(g_channel, type, answer, nullptr, -1) || type != RenderChannel::Granted
        || answer.size() != 1) {
        g_broken = true;
        return false;
    }
    return answer.at(0) == 1;
}

void useCap(qint64 requested, qint64 memoryCap)
{
    RenderSettings settings = RenderSettings::current();
    settings.memoryCap = requested > 0 ? qMin(requested, memoryCap) : memoryCap;
    RenderSettings::set(settings);
}

} // namespace

int serveRequests(int channel, qint64 memoryCap)
{
    g_channel = channel;
    MemoryReservation::setDelegate(askService);
    for (;;) {
        RenderChannel::Type type;
        QByteArray message;
        int source = -1;
        if (!RenderChannel::receive(channel, type, message, &source, -1))
            return 0;
        RenderChannel::RenderRequest request;
        if (type != RenderChannel::Request || message.size() < int(sizeof request) || source < 0) {
            if (source >= 0)
                ::close(source);
            return 2;
        }
        std::memcpy(&request, message.constData(), sizeof request);
        useCap(request.memoryCap, memoryCap);
        g_granted = request.granted;
        QByteArray jpeg;
        const QString name = QFile::decodeName(message.mid(sizeof request));
        const qint32 result = qint32(RenderPicture::render(request.kind, source, request.sourceLength, name,
                                                           request.width, request.height, jpeg));
        ::close(source);
        if (g_broken)
            return 2;
        if (g_asked > TRIM_ABOVE)
            ::malloc_trim(0);
        g_asked = 0;
        QByteArray reply(reinterpret_cast<const char *>(&result), sizeof result);
        reply += jpeg;
        if (!RenderChannel::send(channel, RenderChannel::Result, reply))
            return 0;
    }
}
