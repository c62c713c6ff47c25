#ifndef REQUESTLOOP_H
#define REQUESTLOOP_H
#include <QtGlobal>

// A render helper's conversations with the service on channel (see
// renderchannel.h), one request after another: the request's picture is
// rendered within the smaller of its memory cap and memoryCap (what the
// helper's data limit was made for), its memory asked of the service, the
// result sent back, the picture's descriptor closed. Returns when the
// channel ends or breaks the protocol; the exit status: 0 for an end.
int serveRequests(int channel, qint64 memoryCap);

#endif // REQUESTLOOP_H
