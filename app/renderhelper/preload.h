#ifndef PRELOAD_H
#define PRELOAD_H

// Once a render helper is locked in it can open files only to read them
// and load no code it has not loaded before, so it loads everything its
// renders reach while it still may: every Qt image plug-in, the fonts
// (fontconfig's configuration and cache, the faces of the generic
// families), libheif with its HEVC and AV1 decoders, lcms2 with the sRGB
// profile, Qt's colour conversion and its JPEG writer. It does so by
// rendering a small picture of every kind: the first render of a kind then
// meets nothing new, and the memory measured after this is the helper's
// own, which its data limit adds to the cap.
void preloadEverything();

#endif // PRELOAD_H
