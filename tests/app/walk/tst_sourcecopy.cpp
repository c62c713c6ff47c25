#include "sourcecopy.h"

#include "testhelpers.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestSourceCopy : public QObject
{
    Q_OBJECT

private slots:
    void copy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<qint64>("most");
        QTest::newRow("a picture") << "file" << qint64(1 << 20);
        QTest::newRow("larger than the limit") << "file" << qint64(1000);
        QTest::newRow("grew after its stat") << "grown" << qint64(1 << 20);
        QTest::newRow("a FIFO does not block") << "fifo" << qint64(1 << 20);
    }

    // The copy holds the file's bytes as hashed, sealed; anything else is
    // left to the ordinary path.
    void copy()
    {
        QFETCH(QString, kind);
        QFETCH(qint64, most);
        QTemporaryDir dir;
        const QString path = dir.filePath("p.jpg");
        const QByteArray bytes(200000, 'b');
        struct stat st;
        QVERIFY(writeFile(path, bytes) && ::stat(QFile::encodeName(path).constData(), &st) == 0);
        if (kind == "grown")
            QVERIFY(writeFile(path, bytes + "more"));
        if (kind == "fifo")
            QVERIFY(QFile::remove(path) && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        SourceCopy copy;
        const bool copied = kind == "file" && most > bytes.size();
        QCOMPARE(copy.copy(path, st, most), copied);
        QCOMPARE(copy.fd() >= 0, copied);
        if (!copied)
            return;
        QCOMPARE(copy.md5hex(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
        QByteArray back(bytes.size() + 1, '\0');
        QCOMPARE(::pread(copy.fd(), back.data(), size_t(back.size()), 0), ssize_t(bytes.size()));
        QCOMPARE(back.left(bytes.size()), bytes);
        QCOMPARE(::write(copy.fd(), "x", 1), ssize_t(-1));
    }
};

QTEST_GUILESS_MAIN(TestSourceCopy)
#include "tst_sourcecopy.moc"
