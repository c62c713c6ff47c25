#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H
#include "br2todorouter.h"

#include <QJsonObject>
#include <QString>

class BR2Cabinet;

class RequestRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(QObject *parent = nullptr);
    ~RequestRouter() override;

private slots:
    void thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
};

#endif // REQUESTROUTER_H
