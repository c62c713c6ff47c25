#include "br2logger.h"

#include "br2lfqueue.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMetaEnum>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <ctime>
#include <cstdarg>
#include <system_error>
#include <thread>

class BR2LoggerPrivate
{
public:
    void appendNow(const QByteArray &record);
    void pushLog(const QByteArray &record);
    void run();
    void backupFile(const QString &path);
    void clean();
    QString backupName(const QString &path, int k) const;
    int backups() const { return backupCount < 1 ? 1 : backupCount; }
    void stopWriter();

    // fileMutex guards filePath, maxSize and generation, and is held around
    // each size check, rotation and append (by callers in immediate mode and
    // by the writer per record), so two threads never rotate at once and
    // never delete the same backup twice.
    mutable QMutex fileMutex;
    QString filePath;
    qint64 maxSize = 10485760;
    quint64 generation = 0;          // bumped whenever the file on disk may have moved away from the writer
    const int backupCount = 10;
    std::atomic<bool> hasPath{false};   // filePath non-empty, readable without the mutex by producers
    std::atomic<bool> output{true};
    std::atomic<bool> immediate{true};

    BR2LFQueue<QByteArray> queue;    // UTF-8 records without line end
    std::atomic<bool> running{false};   // a writer owns the queue; claimed by exchange or compare-and-swap only
    std::atomic<bool> halted{false};    // the writer could not write; what remains waits for the next push
    std::atomic<bool> stopping{false};  // the logger is being destroyed

    QMutex threadMutex;              // guards writer; taken only to start or join one, never by the writer itself
    std::thread writer;

    static QMutex instancesMutex;    // guards current and instances
    static BR2Logger *current;
    static QList<BR2Logger *> instances;
};

QMutex BR2LoggerPrivate::instancesMutex;
BR2Logger *BR2LoggerPrivate::current = nullptr;
QList<BR2Logger *> BR2LoggerPrivate::instances;

namespace {

bool ensureDirectory(const QString &path)
{
    const QDir dir = QFileInfo(path).absoluteDir();
    return dir.exists() || dir.mkpath(QStringLiteral("."));
}

// Converting the clock to local time costs about 10 microseconds, far more
// than the rest of a record; the text only changes once a second, so each
// thread keeps the last one. The text is made with localtime_r: QDateTime's
// own formatting, first used by several threads at once, has come back empty
// and left a record without its stamp.
QString timeStamp()
{
    thread_local time_t cachedSecond = -1;
    thread_local QString cached;
    const time_t second = ::time(nullptr);
    if (second != cachedSecond) {
        struct tm local;
        char text[32];
        if (!localtime_r(&second, &local) || !strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", &local))
            return QStringLiteral("0000-00-00 00:00:00 ");
        cached = QString::fromLatin1(text);
        cachedSecond = second;
    }
    return cached;
}

} // namespace

QString BR2LoggerPrivate::backupName(const QString &path, int k) const
{
    const QFileInfo info(path);
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.') + QString::number(k)
           + QLatin1Char('.') + info.suffix();
}

// Called with fileMutex held. Rename and delete failures are ignored: a
// logger never reports failure.
void BR2LoggerPrivate::backupFile(const QString &path)
{
    ++generation;
    const int n = backups();
    for (int k = 1; k <= n; ++k) {
        const QString name = backupName(path, k);
        if (!QFileInfo::exists(name)) {
            QFile::rename(path, name);
            return;
        }
    }
    QFile::remove(backupName(path, 1));
    for (int k = 1; k < n; ++k)
        QFile::rename(backupName(path, k + 1), backupName(path, k));
    QFile::rename(path, backupName(path, n));
}

void BR2LoggerPrivate::clean()
{
    QMutexLocker locker(&fileMutex);
    if (filePath.isEmpty())
        return;
    ++generation;
    QFile::remove(QFileInfo(filePath).absoluteFilePath());
    for (int k = 1; k <= backups(); ++k)
        QFile::remove(backupName(filePath, k));
}

void BR2LoggerPrivate::appendNow(const QByteArray &record)
{
    QMutexLocker locker(&fileMutex);
    const QString path = filePath;
    if (path.isEmpty() || !ensureDirectory(path))
        return;
    if (maxSize > 0 && QFileInfo(path).size() + record.size() > maxSize)
        backupFile(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    file.write(record + '\n');
    file.close();
}

void BR2LoggerPrivate::pushLog(const QByteArray &record)
{
    queue.enqueue(record);
    if (running.load() || running.exchange(true))
        return;
    // We own the running flag: start the one writer.
    QMutexLocker locker(&threadMutex);
    if (stopping.load()) {
        running.store(false);
        return;
    }
    // The previous writer, if any, has cleared running and can no longer
    // take it back (we hold it), so it is about to return.
    if (writer.joinable())
        writer.join();
    try {
        writer = std::thread(&BR2LoggerPrivate::run, this);
    } catch (const std::system_error &) {
        // No thread to be had now; the records stay queued for the next push.
        running.store(false);
    }
}

void BR2LoggerPrivate::run()
{
    halted.store(false);
    QFile file;
    qint64 size = 0;
    quint64 openGeneration = 0;
    for (;;) {
        QByteArray record;
        while (!stopping.load() && !halted.load() && queue.dequeue(record)) {
            QMutexLocker locker(&fileMutex);
            const QString path = filePath;
            if (path.isEmpty())
                continue;    // the path was cleared after the record was queued
            if (file.isOpen() && (file.fileName() != path || openGeneration != generation))
                file.close();
            if (!ensureDirectory(path)) {
                halted.store(true);
                break;
            }
            if (!file.isOpen())
                size = QFileInfo(path).size();
            if (maxSize > 0 && size + record.size() > maxSize) {
                file.close();
                backupFile(path);
                size = 0;
            }
            if (!file.isOpen()) {
                file.setFileName(path);
                if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
                    size = file.size();
                    openGeneration = generation;
                }
            }
            if (!file.isOpen()) {
                halted.store(true);
                break;
            }
            file.write(record + '\n');
            file.flush();
            size += record.size() + 1;
        }
        file.close();
        running.store(false);
        // A record queued after our last dequeue but before running was
        // cleared saw a writer and started none; look once more and take the
        // flag back when something is there. A halted writer leaves it to the
        // next push instead of spinning on a file it cannot open.
        if (stopping.load() || halted.load() || queue.isEmpty())
            return;
        bool expected = false;
        if (!running.compare_exchange_strong(expected, true))
            return;    // a producer took it and starts a writer of its own
    }
}

void BR2LoggerPrivate::stopWriter()
{
    stopping.store(true);
    QMutexLocker locker(&threadMutex);
    if (writer.joinable())
        writer.join();
}

BR2Logger::BR2Logger()
    : d(new BR2LoggerPrivate)
{
    QMutexLocker locker(&BR2LoggerPrivate::instancesMutex);
    BR2LoggerPrivate::current = this;
    BR2LoggerPrivate::instances.append(this);
}

BR2Logger::~BR2Logger()
{
    {
        QMutexLocker locker(&BR2LoggerPrivate::instancesMutex);
        BR2LoggerPrivate::instances.removeAll(this);
        if (BR2LoggerPrivate::current == this)
            BR2LoggerPrivate::current =
                BR2LoggerPrivate::instances.isEmpty() ? nullptr : BR2LoggerPrivate::instances.last();
    }
    // The writer reads the private part; it must be gone before that is.
    d->stopWriter();
}

BR2Logger *BR2Logger::i()
{
    QMutexLocker locker(&BR2LoggerPrivate::instancesMutex);
    return BR2LoggerPrivate::current;
}

void BR2Logger::setCurrentInstance()
{
    QMutexLocker locker(&BR2LoggerPrivate::instancesMutex);
    BR2LoggerPrivate::current = this;
}

QString BR2Logger::filePath() const
{
    QMutexLocker locker(&d->fileMutex);
    return d->filePath;
}

void BR2Logger::setFilePath(const QString &filePath)
{
    QMutexLocker locker(&d->fileMutex);
    d->filePath = filePath;
    d->hasPath.store(!filePath.isEmpty());
}

qint64 BR2Logger::maxSize() const
{
    QMutexLocker locker(&d->fileMutex);
    return d->maxSize;
}

void BR2Logger::setMaxSize(qint64 maxSize)
{
    QMutexLocker locker(&d->fileMutex);
    d->maxSize = maxSize;
}

bool BR2Logger::output() const
{
    return d->output.load();
}

void BR2Logger::setOutput(bool output)
{
    d->output.store(output);
}

bool BR2Logger::immediate() const
{
    return d->immediate.load();
}

void BR2Logger::setImmediate(bool immediate)
{
    d->immediate.store(immediate);
}

void BR2Logger::clean()
{
    d->clean();
}

QString BR2Logger::write(int level, const QString &context1, const QString &context2, int line,
                         const char *format, ...)
{
    QString record = timeStamp();
    record += QLatin1String(QMetaEnum::fromType<LogLevel>().valueToKey(level));   // unknown level: nothing
    if (!context1.isEmpty())
        record += QLatin1Char(' ') + context1;
    if (!context2.isEmpty())
        record += QLatin1Char(' ') + context2;
    if (line > 0)
        record += QStringLiteral(" #") + QString::number(line);
    va_list ap;
    va_start(ap, format);
    record += QLatin1Char(' ') + QString::vasprintf(format ? format : "", ap);
    va_end(ap);
    record = record.trimmed();

    if (!d->output.load() || !d->hasPath.load())
        return record;
    const QByteArray bytes = record.toUtf8();
    if (d->immediate.load())
        d->appendNow(bytes);
    else
        d->pushLog(bytes);
    return record;
}
