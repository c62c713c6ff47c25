#ifndef THREADPRIORITY_H
#define THREADPRIORITY_H
#include "rendersettings.h"

// Makes the calling thread a good neighbour: its CPU niceness and I/O
// class as settings say ("nice", "ioclass"). Children (ffmpeg, command
// jobs) inherit both from the thread that starts them.
void lowerThreadPriority(const RenderSettings &settings);

#endif // THREADPRIORITY_H
