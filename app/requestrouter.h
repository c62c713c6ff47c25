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

private:
    JobQueue *m_queue;
};

#endif // REQUESTROUTER_H
