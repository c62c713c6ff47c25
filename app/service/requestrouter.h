#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H
#include "br2todorouter.h"

#include <QJsonObject>
#include <QString>

class BR2Cabinet;
class JobQueue;

class RequestRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(JobQueue *queue, QObject *parent = nullptr);
    ~RequestRouter() override;

private slots:
    void thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    // Beside the written commands, unpublished: help_interfaces leaves them out.
    void thumbgen_status(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_jobs(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_cancel(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_quarantine(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);

private:
    JobQueue *m_queue;
    qint64 m_started;     // ms since the epoch
};

#endif // REQUESTROUTER_H
