#ifndef RENDERSETTINGS_H
#define RENDERSETTINGS_H
#include <QString>

// The process-wide knobs of the renderers, set once where the
// configuration is read (tests set their own), and read by every render.
struct RenderSettings
{
    qint64 memoryCap = qint64(256) << 20;          // bytes one decode may hold: source buffers and the thumbnail
    int videoTimeoutMs = 300000;                   // ffmpeg is ended after this long
    int videoIdleMs = 30000;                       // or when stopped, or after this long without CPU
    int renderTimeoutMs = 60000;                   // "rendertimeout": a render helper is killed after this long on one picture
    int helperFiles = 500;                         // pictures a render helper decodes before it is replaced
    int helperIdleMs = 60000;                      // a render helper without work this long is ended
    QString ffmpegProgram = QStringLiteral("ffmpeg");
    int walkPauseMs = 50;                          // "filepause": after every listed file, 0 for none
    bool smoothScaling = false;                    // Qt's smooth transform for Lanczos; only benchmarks set it, to compare
    bool videoKeepsAspect = false;                 // "videofit": "aspect"; by default a GIF fills the box
    bool debugging = false;                        // a console line for every file that failed
    enum IoClass { IoUnchanged, IoBestEffortLowest, IoIdle };
    int niceness = 10;                             // "nice" of the workers and their children
    IoClass ioClass = IoBestEffortLowest;          // "ioclass"

    static RenderSettings current();
    static void set(const RenderSettings &settings);
};

#endif // RENDERSETTINGS_H
