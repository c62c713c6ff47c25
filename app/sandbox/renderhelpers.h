#ifndef RENDERHELPERS_H
#define RENDERHELPERS_H
#include "renderresult.h"

#include <QByteArray>

// The render helpers: the processes that decode pictures for the service,
// so that no image library parses a user's bytes inside it. Each worker
// thread has one, started on its first picture, reused for many, replaced
// after a bounded number of pictures or when it dies, and ended when its
// thread ends or after a minute without work (endIdle). A helper locks
// itself in (its own user, resource limits, a system-call filter) before
// it reads a request; its memory comes out of the service's shared budget,
// which it asks for before it decodes.
namespace RenderHelpers {

// What a helper made of one picture.
struct Outcome
{
    RenderResult result = RenderResult::DecodeFailed;
    QByteArray jpeg;          // the finished thumbnail when result is Rendered
    int signal = 0;           // HelperDied: the signal that ended it (0: it exited)
};

// Renders the picture of the calling worker thread's helper. source: a
// descriptor of the file (opened by the service, or a sealed memfd of
// bytes it read), which stays the caller's; length: how much of it is the
// picture (0: all of it). name: the file's name, for the format its suffix
// names. kind: MediaImage, MediaHeif or MediaRaw.
Outcome render(int kind, int source, qint64 length, const QByteArray &name, int width, int height);

// Starts the calling worker thread's helper when it has none running, so
// that its start is not counted as part of the next file's render (a
// service killed then did not die of that file).
bool prepare();

// The identity the calling thread acts as, as helpers are told apart: a
// helper, and whatever it was given, serves one.
QByteArray currentOwner();

// Ends the helpers that have had no work for the idle time (from any
// thread; a helper at work is left).
void endIdle();
// Helpers running now.
int running();

} // namespace RenderHelpers

#endif // RENDERHELPERS_H
