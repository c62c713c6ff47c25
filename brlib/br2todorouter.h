#ifndef BR2TODOROUTER_H
#define BR2TODOROUTER_H
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

class BR2Cabinet;
class BR2Journals;

// Base of all command routers. A command is a slot of a subclass, found by
// name at run time:
//
//     private slots:
//         void mycmd(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
//
// When cmdObject holds the key "help" (whatever its value) the slot only puts
// its description into *retObject (see answerHelp); otherwise it acts, writes
// its output under "results" and records the outcome with envObject->setErr.
// Slots whose names begin with "_" are never listed; "__LS__name" is the
// local-only variant of command name and is looked up first.
class BR2TodoRouter : public QObject
{
    Q_OBJECT
public:
    explicit BR2TodoRouter(QObject *parent = nullptr);
    ~BR2TodoRouter() override;

    virtual QString routerId() const;
    virtual bool loadConfigure(BR2Journals &journal, const QJsonObject &configure);
    // Both return true when a slot in this router or below served the request.
    virtual bool doSlot(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject);
    virtual bool doCall(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject);

    // Children are not owned: del and destruction never delete them.
    void add(BR2TodoRouter *router);
    void del(BR2TodoRouter *router);
    QList<BR2TodoRouter *> list() const;

    void allInterfaces(QJsonObject &all);
    void allInterfaces(QStringList &names);

    void inject(QJsonObject *retObject, int code, const QString &message) const;

    // The help check every command slot starts with: when the request holds
    // "help", replaces *retObject with help and returns true.
    static bool answerHelp(QJsonObject *retObject, const QJsonObject &cmdObject, const QJsonObject &help);

protected slots:
    virtual void help_interfaces(QJsonObject *retObject, QJsonObject, BR2Cabinet *envObject);

protected:
    QString m_id;

private:
    bool dispatch(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject, bool localOnly);
    bool reaches(const BR2TodoRouter *router) const;

    mutable QMutex m_listMutex;            // guards m_children; parent locks before child, never the reverse
    QList<BR2TodoRouter *> m_children;     // guarded by m_listMutex
};

#endif // BR2TODOROUTER_H
