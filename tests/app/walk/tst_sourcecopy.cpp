#include "sourcecopy.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestSourceCopy : public QObject
{
    Q_OBJECT

private slots:
    void copy_data();
    void copy();
};

void TestSourceCopy::copy_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("most");
    QTest::addColumn<bool>("copied");
    QTest::newRow("a picture") << "file" << qint64(1 << 20) << true;
    QTest::newRow("larger than the limit") << "file" << qint64(1000) << false;
    QTest::newRow("grew after its stat") << "grown" << qint64(1 << 20) << false;
    QTest::newRow("a FIFO does not block") << "fifo" << qint64(1 << 20) << false;
}

// The copy holds the file's bytes, hashed as they were read, and no one
// can change it; anything else is left to the ordinary path.
void TestSourceCopy::copy()
{
    QFETCH(QString, kind);
    QFETCH(qint64, most);
    QFETCH(bool, copied);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.jpg"));
    QByteArray bytes;
    for (int i = 0; i < 200000; ++i)
        bytes += char(i * 7);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    if (kind == QLatin1String("grown")) {
        QVERIFY(f.open(QIODevice::Append));
        f.write("more");
        f.close();
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    SourceCopy copy;
    QCOMPARE(copy.copy(path, st, most), copied);
    if (!copied) {
        QCOMPARE(copy.fd(), -1);
        return;
    }
    QCOMPARE(copy.md5hex(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    QByteArray back(bytes.size() + 1, '\0');
    QCOMPARE(::pread(copy.fd(), back.data(), size_t(back.size()), 0), ssize_t(bytes.size()));
    back.chop(1);
    QCOMPARE(back, bytes);
    QCOMPARE(::write(copy.fd(), "x", 1), ssize_t(-1));
}

QTEST_GUILESS_MAIN(TestSourceCopy)
#include "tst_sourcecopy.moc"
