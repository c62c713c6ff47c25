#ifndef RENDERRESULT_H
#define RENDERRESULT_H

// What a renderer made of one file: a thumbnail, or why not.
enum class RenderResult {
    Rendered,
    NotMedia,          // no renderer for the file's type: only counted, never reported
    DecodeFailed,      // unreadable, corrupt, or refused by a decode guard
    OverMemoryCap,
    FfmpegFailed,
    FfmpegTimedOut,
    CannotWrite,       // the thumbnail could not be written or renamed into place
    HelperDied,        // the render helper died on the file (a signal, its filter, its memory limit)
    HelperTimedOut,    // the render helper ran past its time limit on the file and was killed
    HelperUnavailable, // the render helper could not be started: not the file's fault, the job waits
    Stopped,           // the service stops: not the file's fault, tried again after the next start
};

inline const char *renderReason(RenderResult result)
{
    switch (result) {
    case RenderResult::Rendered:
        return "rendered";
    case RenderResult::NotMedia:
        return "not a media file";
    case RenderResult::DecodeFailed:
        return "cannot be decoded";
    case RenderResult::OverMemoryCap:
        return "over the memory limit";
    case RenderResult::FfmpegFailed:
        return "ffmpeg failed";
    case RenderResult::FfmpegTimedOut:
        return "ffmpeg timed out";
    case RenderResult::CannotWrite:
        return "cannot write the thumbnail";
    case RenderResult::HelperDied:
        return "the render helper died on it";
    case RenderResult::HelperTimedOut:
        return "the render helper timed out";
    case RenderResult::HelperUnavailable:
        return "the render helper cannot start";
    case RenderResult::Stopped:
        return "stopped";
    }
    return "";
}

#endif // RENDERRESULT_H
