#ifndef VIDEOTHUMBNAIL_H
#define VIDEOTHUMBNAIL_H
#include "renderresult.h"

#include <QString>

// A video's thumbnail: an animated GIF of its first 15 seconds at 5 frames
// a second, made by ffmpeg in the width x height box (sides up to 8192),
// within the configured time limit; the GIF is renamed into place only
// after a clean exit.
RenderResult videoThumbnail(const QString &source, const QString &target, int width, int height);

// After a FfmpegTimedOut on this thread: whether ffmpeg spent most of the
// time limit in CPU (a file that is heavy in itself, rather than a busy machine).
bool lastTimeoutWasBusy();

#endif // VIDEOTHUMBNAIL_H
