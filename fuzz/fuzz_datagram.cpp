// Framing: one or more datagrams (header, JSON text, attachment) in a buffer.
#include "br2rpcpacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray buffer(reinterpret_cast<const char *>(data), int(size));
    for (int i = 0; i < 4 && !buffer.isEmpty(); ++i) {
        BR2RpcPacket packet;
        if (packet.fromDatagram(buffer, qint64(1) << 20) != BR2RpcPacket::DATAGRAM_OK)
            break;
    }
    return 0;
}
