// A Radiance HDR file's header and pixel runs, checked before stb's reader
// runs, then the tone-mapped decode under a small memory cap.
#include "radiancepicture.h"
#include "rendersettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool capped = [] {
        RenderSettings settings = RenderSettings::current();
        settings.memoryCap = qint64(64) << 20;
        RenderSettings::set(settings);
        return true;
    }();
    Q_UNUSED(capped);
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QImage picture;
    radiancePicture(bytes, 32, 32, bytes.size(), picture);
    return 0;
}
