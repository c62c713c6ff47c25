#include "br2error.h"

#include <QElapsedTimer>
#include <QMetaEnum>

#include <cstdarg>

struct BR2Error::Private
{
    int err = ERR_FAILED;
    QString errmsg;
    QJsonArray journals;
    qint64 times = 0;
    QElapsedTimer clock;   // not started until begin or reset
};

namespace {

bool isSuccess(int code)
{
    return code == BR2Error::ERR_SUCCEED || code == BR2Error::ERR_SUCCESS;
}

}   // namespace

BR2Error::BR2Error(int code, const QString &message)
    : d(new Private)
{
    d->err = code;
    d->errmsg = message;
}

BR2Error::~BR2Error() = default;

QString BR2Error::toErrid(int code)
{
    const QMetaEnum meta = QMetaEnum::fromType<ERRORCODE>();
    const char *key = meta.valueToKey(code);
    return key ? QString::fromLatin1(key) : QString();
}

int BR2Error::err() const
{
    return d->err;
}

QString BR2Error::errmsg() const
{
    return d->errmsg;
}

QJsonArray BR2Error::journals() const
{
    return d->journals;
}

qint64 BR2Error::times() const
{
    return d->times;
}

int BR2Error::setErr(int code, const QString &message)
{
    d->err = code;
    d->errmsg = message;
    return code;
}

QString BR2Error::setErrmsg(const QString &message)
{
    d->errmsg = message.trimmed();
    return message;
}

QString BR2Error::setError(int code, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const QString text = QString::vasprintf(format ? format : "", ap);
    va_end(ap);
    d->err = code;
    d->errmsg = text.trimmed();
    return text;
}

void BR2Error::setJournals(const QJsonArray &journals)
{
    d->journals = journals;
}

void BR2Error::reset(int code, const QString &message, const QJsonArray &journals)
{
    d->err = code;
    d->errmsg = message;
    d->journals = journals;
    d->times = 0;
    d->clock.start();
}

void BR2Error::begin()
{
    d->times = 0;
    d->clock.start();
}

qint64 BR2Error::step()
{
    const qint64 elapsed = d->clock.isValid() ? d->clock.restart() : (d->clock.start(), 0);
    d->times += elapsed;
    return elapsed;
}

qint64 BR2Error::end()
{
    step();
    return d->times;
}

void BR2Error::add(const QJsonObject &entry)
{
    d->journals.append(entry);
}

void BR2Error::add(const QJsonArray &entry)
{
    d->journals.append(entry);
}

QJsonObject BR2Error::add(const QString &place, const QString &action, bool success, const QString &message)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("place"), place);
    entry.insert(QStringLiteral("action"), action);
    entry.insert(QStringLiteral("times"), double(step()));
    entry.insert(QStringLiteral("success"), success);
    entry.insert(QStringLiteral("msg"), message.isEmpty() ? d->errmsg : message);
    d->journals.append(entry);
    return entry;
}

void BR2Error::write(QJsonObject *object) const
{
    if (!object)
        return;
    object->insert(QStringLiteral("err"), d->err);
    if (!isSuccess(d->err) && !d->errmsg.isEmpty())
        object->insert(QStringLiteral("errmsg"), d->errmsg);
}

void BR2Error::write(QJsonObject &object) const
{
    write(&object);
}

QJsonObject BR2Error::toObject() const
{
    QJsonObject object;
    object.insert(QStringLiteral("err"), d->err);
    object.insert(QStringLiteral("elapsed"), double(d->times));
    if (!isSuccess(d->err) && !d->errmsg.isEmpty())
        object.insert(QStringLiteral("errmsg"), d->errmsg);
    if (!d->journals.isEmpty())
        object.insert(QStringLiteral("journals"), d->journals);
    return object;
}
