#ifndef MZTHUMBGEN_H
#define MZTHUMBGEN_H
#include <QJsonObject>
#include <QRunnable>

class JobQueue;
struct FolderRefusal;

// One worker of the thumbnail pool: takes jobs from the queue, runs each
// (a command line, or a layout walk) and completes it. A job cut off by a
// quit is not completed, so its row stays and it runs again after the
// next start.
class MZThumbgen : public QRunnable
{
public:
    explicit MZThumbgen(JobQueue *queue);
    ~MZThumbgen() override;

    // Workers alive and counting themselves.
    static int amount();

    void run() override;

    // One job, at the job's own size or the given box. A job queued by an
    // untrusted client runs under that client's identity, or not at all.
    // False when a quit cut it off, or when its thumbnail folder took no
    // files (then refusal, when given, says which and why).
    static bool runJob(const QJsonObject &job, int width, int height, FolderRefusal *refusal = nullptr);

private:
    static bool runAs(const QJsonObject &job, int width, int height, FolderRefusal *refusal);
    bool leave();

    JobQueue *m_queue;
    bool m_counted = true;   // whether this runnable is in the live count
};

#endif // MZTHUMBGEN_H
