#ifndef WORKERACTIVITY_H
#define WORKERACTIVITY_H
#include <QJsonArray>
#include <QString>

// What every worker is doing: the job it runs and the file it renders,
// for thumbgen_status, and the cancel of a job in progress. A worker
// thread registers its job with JobActivity for as long as it runs it;
// the renders on that thread name their files.
class JobActivity
{
public:
    // job: the layout name, or "command".
    JobActivity(int quuno, const QString &job);
    ~JobActivity();
    JobActivity(const JobActivity &) = delete;
    JobActivity &operator=(const JobActivity &) = delete;

    // Whether the job was cancelled while it ran.
    bool cancelled() const;

    // The file the calling thread's job renders now (empty: none).
    static void setFile(const QString &path);
    // The jobs in progress: [{"quuno", "job", "file", "since"}], oldest first.
    static QJsonArray running();
    // Stops the job in progress with this number at its next file boundary;
    // false when no worker has registered it yet (it is then stopped as
    // soon as its worker does).
    static bool cancel(int quuno);

    struct Slot;       // one registered job, private to the .cpp

private:
    Slot *m_slot;
};

#endif // WORKERACTIVITY_H
