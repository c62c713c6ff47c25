#include "br2journals.h"

#include "br2error.h"

#include <QElapsedTimer>

struct BR2Journals::Private
{
    int err = BR2Error::ERR_FAILED;
    QString errmsg;
    QJsonArray segments;
    qint64 times = 0;
    QElapsedTimer clock;
};

namespace {

bool hidesMessage(int code)
{
    return code == BR2Error::ERR_SUCCEED || code == BR2Error::ERR_SUCCESS;
}

}   // namespace

BR2Journals::BR2Journals()
    : d(new Private)
{
    d->clock.start();
}

BR2Journals::BR2Journals(const BR2Journals &other)
    : d(new Private(*other.d))
{
}

BR2Journals &BR2Journals::operator=(const BR2Journals &other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

BR2Journals::~BR2Journals() = default;

int BR2Journals::err() const
{
    return d->err;
}

QString BR2Journals::errmsg() const
{
    return d->errmsg;
}

qint64 BR2Journals::times() const
{
    return d->times;
}

QJsonArray BR2Journals::segments() const
{
    return d->segments;
}

QString BR2Journals::setErr(int code, const QString &message)
{
    d->err = code;
    d->errmsg = message;
    QString tagged = QLatin1Char('[') + BR2Error::toErrid(code) + QLatin1Char(']');
    if (!message.isEmpty())
        tagged += message;
    return tagged;
}

void BR2Journals::setErrmsg(const QString &message)
{
    d->errmsg = message;
}

void BR2Journals::setSegments(const QJsonArray &segments)
{
    d->segments = segments;
}

void BR2Journals::reset(int code, const QString &message, const QJsonArray &segments)
{
    setErr(code, QString());
    setErrmsg(message);
    setSegments(segments);
    d->times = 0;
}

void BR2Journals::begin()
{
    d->times = 0;
    d->clock.restart();
}

qint64 BR2Journals::step()
{
    const qint64 elapsed = d->clock.restart();
    d->times += elapsed;
    return elapsed;
}

qint64 BR2Journals::end()
{
    step();
    return d->times;
}

void BR2Journals::add(const QJsonObject &entry)
{
    d->segments.append(entry);
}

void BR2Journals::add(const QJsonArray &entry)
{
    d->segments.append(entry);
}

QJsonObject BR2Journals::add(const QString &place, const QString &content, const QJsonObject &object)
{
    QJsonObject entry = object;
    entry.insert(QStringLiteral("place"), place);
    entry.insert(QStringLiteral("times"), double(step()));
    entry.insert(QStringLiteral("content"), content);
    d->segments.append(entry);
    return entry;
}

QJsonObject BR2Journals::add(const QString &place, const QString &action, bool success, const QString &message,
                             const QString &command)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("place"), place);
    entry.insert(QStringLiteral("action"), action);
    entry.insert(QStringLiteral("times"), double(step()));
    entry.insert(QStringLiteral("success"), success);
    const QString msg = message.isEmpty() ? d->errmsg : message;
    if (!msg.isEmpty())
        entry.insert(QStringLiteral("msg"), msg);
    if (!command.isEmpty())
        entry.insert(QStringLiteral("command"), command);
    d->segments.append(entry);
    return entry;
}

QJsonObject BR2Journals::add(const QString &place, int code, const QString &action, bool success,
                             const QString &message, const QString &command)
{
    setErr(code, message);
    return add(place, action, success, message, command);
}

QJsonObject BR2Journals::toObject() const
{
    QJsonObject object;
    object.insert(QStringLiteral("err"), d->err);
    object.insert(QStringLiteral("elapsed"), double(d->times));
    if (!hidesMessage(d->err) && !d->errmsg.isEmpty())
        object.insert(QStringLiteral("errmsg"), d->errmsg);
    if (!d->segments.isEmpty())
        object.insert(QStringLiteral("journals"), d->segments);
    return object;
}

void BR2Journals::toRetObject(QJsonObject *reply, bool withJournals) const
{
    // The reply's "elapsed" covers everything since construction or begin,
    // including the stretch after the last step, so the clock is read here
    // even though rendering is logically const.
    d->times += d->clock.restart();
    if (!reply)
        return;
    reply->insert(QStringLiteral("err"), d->err);
    if (!hidesMessage(d->err) && !d->errmsg.isEmpty())
        reply->insert(QStringLiteral("errmsg"), d->errmsg);
    if (!withJournals)
        return;
    reply->insert(QStringLiteral("elapsed"), double(d->times));
    if (!d->segments.isEmpty())
        reply->insert(QStringLiteral("journals"), d->segments);
}

void BR2Journals::toRetObject(QJsonObject &reply, bool withJournals) const
{
    toRetObject(&reply, withJournals);
}
