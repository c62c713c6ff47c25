// A worker thread copies a file, then the program returns from main while
// that thread is still ending: the thread gives its memory file back after
// QThread::wait has returned, as the process's statics are destroyed.
#include "sourcecopy.h"

#include <QCoreApplication>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QThread *worker = QThread::create([&] {
        struct stat st;
        SourceCopy copy;
        if (::stat(argv[0], &st) != 0 || !copy.copy(QString::fromLocal8Bit(argv[0]), st, qint64(1) << 30))
            ::_exit(2);
    });
    worker->start();
    worker->wait();
    delete worker;
    return 0;
}
