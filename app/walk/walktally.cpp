#include "walktally.h"

#include <QStringList>

#include <atomic>

namespace {

std::atomic<qint64> g_written[3];           // MediaImage (and MediaRaw), MediaHeif, MediaVideo
std::atomic<qint64> g_upToDate{0};
std::atomic<qint64> g_skipped[WalkTally::SkipCount];

const char *const SKIP_KEYS[WalkTally::SkipCount] = {"notmedia", "decode", "memorycap", "ffmpeg", "timeout",
                                                     "write", "quarantined", "helperdied", "helpertimeout", "link"};
const char *const SKIP_WORDS[WalkTally::SkipCount] = {"not media", "cannot be decoded", "over the memory limit",
                                                      "ffmpeg failed", "ffmpeg timed out", "cannot write",
                                                      "quarantined", "render helper died", "render helper timed out",
                                                      "link its owner cannot read"};

int writtenIndex(MediaKind kind)
{
    return kind == MediaHeif ? 1 : kind == MediaVideo ? 2 : 0;
}

} // namespace

void WalkTally::rendered(MediaKind kind, RenderResult result)
{
    switch (result) {
    case RenderResult::Rendered:
        ++m_seen;
        ++m_written;
        ++g_written[writtenIndex(kind)];
        return;
    case RenderResult::NotMedia:
        return skipped(NotMedia);
    case RenderResult::DecodeFailed:
        return skipped(Decode);
    case RenderResult::OverMemoryCap:
        return skipped(MemoryCap);
    case RenderResult::FfmpegFailed:
        return skipped(Ffmpeg);
    case RenderResult::FfmpegTimedOut:
        return skipped(Timeout);
    case RenderResult::CannotWrite:
        return skipped(Write);
    case RenderResult::HelperDied:
        return skipped(HelperDied);
    case RenderResult::HelperTimedOut:
        return skipped(HelperTimeout);
    case RenderResult::Stopped:
    case RenderResult::HelperUnavailable:
        return;               // tried again later: not counted
    }
}

void WalkTally::upToDate()
{
    ++m_seen;
    ++m_upToDate;
    ++g_upToDate;
}

void WalkTally::skipped(Skip reason)
{
    ++m_seen;
    ++m_skipped[reason];
    ++g_skipped[reason];
}

int WalkTally::skippedTotal() const
{
    int n = 0;
    for (int s : m_skipped)
        n += s;
    return n;
}

QString WalkTally::summary() const
{
    QString line = QStringLiteral("%1 %2: %3 written, %4 up to date, %5 skipped")
                       .arg(m_seen)
                       .arg(QLatin1String(m_seen == 1 ? "file" : "files"))
                       .arg(m_written)
                       .arg(m_upToDate)
                       .arg(skippedTotal());
    QStringList reasons;
    for (int i = 0; i < SkipCount; ++i) {
        if (m_skipped[i])
            reasons << QStringLiteral("%1 %2").arg(QLatin1String(SKIP_WORDS[i])).arg(m_skipped[i]);
    }
    if (!reasons.isEmpty())
        line += QStringLiteral(" (") + reasons.join(QStringLiteral(", ")) + QLatin1Char(')');
    return line;
}

QJsonObject WalkTally::totals()
{
    QJsonObject skipped;
    for (int i = 0; i < SkipCount; ++i)
        skipped.insert(QLatin1String(SKIP_KEYS[i]), qint64(g_skipped[i].load()));
    return QJsonObject{
        {QStringLiteral("written"), QJsonObject{{QStringLiteral("image"), qint64(g_written[0].load())},
                                                {QStringLiteral("heif"), qint64(g_written[1].load())},
                                                {QStringLiteral("video"), qint64(g_written[2].load())}}},
        {QStringLiteral("uptodate"), qint64(g_upToDate.load())},
        {QStringLiteral("skipped"), skipped},
    };
}
