#ifndef BR2REQUESTHANDLER_H
#define BR2REQUESTHANDLER_H
#include <QJsonObject>

class BR2Cabinet;

// What a connection needs of the server that accepted it: someone to
// dispatch each request, and someone to tell when it has ended. The local
// server implements it, so that connections do not depend on the server.
class BR2RequestHandler
{
public:
    virtual ~BR2RequestHandler() = default;
    virtual bool doCall(QJsonObject &reply, const QJsonObject &request, BR2Cabinet *cabinet) = 0;
    // Called on the connection's thread as its last act.
    virtual void connectionEnded() = 0;
};

#endif // BR2REQUESTHANDLER_H
