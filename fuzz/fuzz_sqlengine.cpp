// The engine file of named SQL statements.
#include "br2sqlengine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BR2SqlEngine::parse(QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
