// The compact encoding: tagged values, objects and arrays nested.
#include "br2rpcpacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BR2RpcPacket packet;
    packet.fromCompact(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
