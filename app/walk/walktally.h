#ifndef WALKTALLY_H
#define WALKTALLY_H
#include "mediakind.h"
#include "renderresult.h"

#include <QJsonObject>
#include <QString>

// What a walk did with its files: thumbnails written by kind, files whose
// thumbnail was already there, files skipped by reason. Every count also
// goes to the totals since the start that thumbgen_status reports.
class WalkTally
{
public:
    enum Skip { NotMedia, Decode, MemoryCap, Ffmpeg, Timeout, Write, Quarantined, HelperDied, HelperTimeout, Link,
                SkipCount };

    void rendered(MediaKind kind, RenderResult result);
    void upToDate();
    void skipped(Skip reason);

    int seen() const { return m_seen; }
    int skippedTotal() const;
    // "12 files: 3 written, 8 up to date, 1 skipped (not media 1)".
    QString summary() const;

    // Since the start: {"written": {"image", "heif", "video"}, "uptodate": N,
    // "skipped": {"notmedia", "decode", "memorycap", "ffmpeg", "timeout", "write", "quarantined",
    // "helperdied", "helpertimeout", "link"}}.
    static QJsonObject totals();

private:
    int m_seen = 0;
    int m_written = 0;
    int m_upToDate = 0;
    int m_skipped[SkipCount] = {};
};

#endif // WALKTALLY_H
