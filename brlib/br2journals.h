#ifndef BR2JOURNALS_H
#define BR2JOURNALS_H
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <memory>

// The outcome of one operation: a code from BR2Error::ERRORCODE, a
// message, the time it took and the steps that were tried. A result is born
// failed (ERR_FAILED); a handler must mark success itself.
class BR2Journals
{
public:
    BR2Journals();
    BR2Journals(const BR2Journals &other);
    BR2Journals &operator=(const BR2Journals &other);
    virtual ~BR2Journals();

    int err() const;
    QString errmsg() const;
    qint64 times() const;
    QJsonArray segments() const;

    QString setErr(int code, const QString &message);
    void setErrmsg(const QString &message);
    void setSegments(const QJsonArray &segments);
    void reset(int code, const QString &message, const QJsonArray &segments);

    void begin();
    qint64 step();
    qint64 end();

    void add(const QJsonObject &entry);
    void add(const QJsonArray &entry);
    QJsonObject add(const QString &place, const QString &content, const QJsonObject &object);
    QJsonObject add(const QString &place, const QString &action, bool success, const QString &message,
                    const QString &command);
    QJsonObject add(const QString &place, int code, const QString &action, bool success, const QString &message,
                    const QString &command);

    QJsonObject toObject() const;
    void toRetObject(QJsonObject *reply, bool withJournals) const;
    void toRetObject(QJsonObject &reply, bool withJournals) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // BR2JOURNALS_H
