#ifndef BR2LOGGER_H
#define BR2LOGGER_H
#include <QObject>
#include <QString>
#include <memory>

class BR2LoggerPrivate;

// File logger. Each record is one UTF-8 line:
//
//     yyyy-MM-dd HH:mm:ss <Level>[ <context1>][ <context2>][ #<line>] <message>
//
// trimmed at both ends. Records are appended at once on the calling thread
// (immediate, the default) or queued and written by one background writer.
// A file that would grow beyond maxSize is first renamed to the first free
// backup name <dir>/<base>.<k>.<suffix>, k = 1..10; when all ten exist, the
// oldest (1) is dropped and the others move down one.
//
// The most recently constructed logger is the current instance (i()).
// Constructors, destructors and setCurrentInstance belong on one thread.
class BR2Logger : public QObject
{
    Q_OBJECT
public:
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13
    };
    Q_ENUM(LogLevel)

    BR2Logger();
    // Stops and waits for the writer; records still queued are discarded.
    ~BR2Logger() override;

    static BR2Logger *i();
    void setCurrentInstance();

    QString filePath() const;
    void setFilePath(const QString &filePath);   // empty: nothing is written
    qint64 maxSize() const;
    void setMaxSize(qint64 maxSize);             // 0 or less: never rotate
    bool output() const;
    void setOutput(bool output);
    bool immediate() const;
    void setImmediate(bool immediate);

    // Deletes the log file and all its backups.
    void clean();

    // format is UTF-8 with QString::vasprintf's conversions. Returns the
    // record, also when it is not written.
    QString write(int level, const QString &context1, const QString &context2, int line, const char *format, ...)
        Q_ATTRIBUTE_FORMAT_PRINTF(6, 7);

private:
    std::unique_ptr<BR2LoggerPrivate> d;
};

#endif // BR2LOGGER_H
