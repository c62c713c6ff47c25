#include "br2todorouter.h"

#include "br2cabinet.h"
#include "br2error.h"
#include "br2journals.h"
#include "br2utils.h"

#include <QByteArray>
#include <QJsonValue>
#include <QMetaMethod>
#include <QMetaObject>
#include <QMetaType>
#include <QMutexLocker>

namespace {

const char kCommandParams[] = "(QJsonObject*,QJsonObject,BR2Cabinet*)";
const char kLocalPrefix[] = "__LS__";

// A command is a slot with the fixed signature that BR2TodoRouter or a
// subclass declares: QObject's own methods and every signal stay out of
// reach, whatever a client writes as the name.
bool isCommandMethod(const QMetaMethod &method)
{
    return method.methodIndex() >= BR2TodoRouter::staticMetaObject.methodOffset()
        && method.methodType() == QMetaMethod::Slot && method.methodSignature().endsWith(kCommandParams);
}

// The commands that are listed: no local-only variant shows up.
bool isListedCommand(const QMetaMethod &method)
{
    return isCommandMethod(method) && !method.name().startsWith('_');
}

// Names hold ASCII letters, digits and "_" only. Anything else (a NUL that
// would cut the C string, parentheses of a signature written out, a space)
// could reach a method the name does not spell.
bool isCommandName(const QString &name)
{
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
        if (!ok)
            return false;
    }
    return true;
}

void invokeCommand(BR2TodoRouter *router, const QMetaMethod &method, QJsonObject *retObject,
                   const QJsonObject &cmdObject, BR2Cabinet *envObject)
{
    method.invoke(router, Qt::DirectConnection,
                  Q_ARG(QJsonObject *, retObject),
                  Q_ARG(QJsonObject, cmdObject),
                  Q_ARG(BR2Cabinet *, envObject));
}

} // namespace

BR2TodoRouter::BR2TodoRouter(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<BR2Cabinet>("BR2Cabinet");
}

BR2TodoRouter::~BR2TodoRouter()
{
    QMutexLocker locker(&m_listMutex);
    m_children.clear();
}

QString BR2TodoRouter::routerId() const
{
    return m_id;
}

bool BR2TodoRouter::loadConfigure(BR2Journals &journal, const QJsonObject &configure)
{
    Q_UNUSED(journal)
    Q_UNUSED(configure)
    return true;
}

bool BR2TodoRouter::doSlot(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject)
{
    return dispatch(retObject, cmdObject, envObject, false);
}

bool BR2TodoRouter::doCall(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject)
{
    return dispatch(retObject, cmdObject, envObject, true);
}

bool BR2TodoRouter::dispatch(QJsonObject &retObject, const QJsonObject &cmdObject, BR2Cabinet *envObject,
                             bool localOnly)
{
    // Clients pad names by accident; the lookup uses the trimmed name, the
    // "unknown command" message (built by the server) the name as sent.
    const QString name = cmdObject.value(QStringLiteral("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    if (!isCommandName(name)) {
        retObject.insert(QStringLiteral("err"), int(BR2Error::ERR_MISSING));
        return false;
    }

    QByteArray signature = name.toLatin1();
    if (localOnly)
        signature.prepend(kLocalPrefix);
    signature.append(kCommandParams);

    const QMetaObject *meta = metaObject();
    const int index = meta->indexOfMethod(signature.constData());
    if (index >= 0 && isCommandMethod(meta->method(index))) {
        // A slot reports its outcome through the cabinet and the reply, not
        // through the invocation's result.
        invokeCommand(this, meta->method(index), &retObject, cmdObject, envObject);
        return true;
    }

    const QList<BR2TodoRouter *> children = list();
    for (BR2TodoRouter *child : children) {
        const bool served = localOnly ? child->doCall(retObject, cmdObject, envObject)
                                      : child->doSlot(retObject, cmdObject, envObject);
        if (served)
            return true;
    }
    retObject.insert(QStringLiteral("err"), int(BR2Error::ERR_MISSING));
    return false;
}

bool BR2TodoRouter::reaches(const BR2TodoRouter *router) const
{
    if (router == this)
        return true;
    const QList<BR2TodoRouter *> children = list();
    for (const BR2TodoRouter *child : children) {
        if (child->reaches(router))
            return true;
    }
    return false;
}

void BR2TodoRouter::add(BR2TodoRouter *router)
{
    // A router that already reaches this one would close a loop, and every
    // unknown command would then recurse until the stack overflows. The check
    // walks the other router's subtree without holding our own lock, so the
    // lock order stays parent before child.
    if (!router || router->reaches(this))
        return;
    QMutexLocker locker(&m_listMutex);
    if (!m_children.contains(router))
        m_children.append(router);
}

void BR2TodoRouter::del(BR2TodoRouter *router)
{
    QMutexLocker locker(&m_listMutex);
    m_children.removeOne(router);
}

QList<BR2TodoRouter *> BR2TodoRouter::list() const
{
    QMutexLocker locker(&m_listMutex);
    return m_children;
}

void BR2TodoRouter::allInterfaces(QJsonObject &all)
{
    const QJsonObject defaultDescription{
        {QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
    const QJsonObject helpRequest{{QStringLiteral("help"), 1}};
    BR2Cabinet helpCabinet;    // only for these calls, so no connection's outcome is touched

    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (all.contains(name) || !isListedCommand(method))
            continue;

        QJsonObject description;
        invokeCommand(this, method, &description, helpRequest, &helpCabinet);
        if (toBool(description.value(QStringLiteral("unpublished"))))
            continue;

        if (!description.contains(QStringLiteral("comment"))) {
            description = defaultDescription;
        } else {
            if (!description.contains(QStringLiteral("params")))
                description.insert(QStringLiteral("params-comment"), QStringLiteral("本接口没有参数"));
            if (description.contains(QStringLiteral("token"))) {
                description.insert(QStringLiteral("token"), QStringLiteral("登录成功时返回的token"));
                description.insert(QStringLiteral("token-comment"), QStringLiteral("登录成功时返回的token"));
            } else {
                description.insert(QStringLiteral("token-comment"),
                                   QStringLiteral("允许不传token，但已登录时建议传入"));
            }
        }
        description.insert(QStringLiteral("cmd"), name);
        all.insert(name, description);
    }

    const QList<BR2TodoRouter *> children = list();
    for (BR2TodoRouter *child : children)
        child->allInterfaces(all);
}

void BR2TodoRouter::allInterfaces(QStringList &names)
{
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (isListedCommand(method))
            names.append(QString::fromLatin1(method.name()));
    }
    QMutexLocker locker(&m_listMutex);
    for (BR2TodoRouter *child : qAsConst(m_children))
        child->allInterfaces(names);
}

void BR2TodoRouter::inject(QJsonObject *retObject, int code, const QString &message) const
{
    if (!retObject)
        return;
    retObject->insert(QStringLiteral("err"), code);
    if (!message.isEmpty())
        retObject->insert(QStringLiteral("errmsg"), message);
}

bool BR2TodoRouter::answerHelp(QJsonObject *retObject, const QJsonObject &cmdObject, const QJsonObject &help)
{
    // A present key counts even when its value is false or null.
    if (!cmdObject.contains(QStringLiteral("help")))
        return false;
    if (retObject)
        *retObject = help;
    return true;
}

void BR2TodoRouter::help_interfaces(QJsonObject *retObject, QJsonObject, BR2Cabinet *envObject)
{
    QJsonObject all{
        {QStringLiteral("help_interfaces"),
         QJsonObject{
             {QStringLiteral("cmd"), QStringLiteral("help_interfaces")},
             {QStringLiteral("comment"), QStringLiteral("获取接口的使用说明")},
             {QStringLiteral("params"), QJsonObject{{QStringLiteral("cmd"), QStringLiteral("接口名(可选)")}}},
             {QStringLiteral("params-comment"),
              QJsonObject{{QStringLiteral("cmd"), QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明")}}},
         }}};
    allInterfaces(all);
    if (retObject)
        retObject->insert(QStringLiteral("results"), all);
    if (envObject)
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}
