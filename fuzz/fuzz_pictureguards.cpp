// The checks before Qt decodes: icon directories and SVG references.
#include "pictureguards.h"

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer icon(&bytes);
    icon.open(QIODevice::ReadOnly);
    iconEntriesFit(icon);
    QBuffer svg(&bytes);
    svg.open(QIODevice::ReadOnly);
    svgIsSelfContained(svg);
    return 0;
}
