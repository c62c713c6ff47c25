#include "peeraccess.h"
#include "sourcecopy.h"

#include "testhelpers.h"

#include <QtTest>

#include <memory>

#include <sys/mman.h>
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
        QTest::newRow("a stranger's after a larger one") << "smaller" << qint64(4 << 20);
        QTest::newRow("larger than the limit") << "file" << qint64(1000);
        QTest::newRow("grew after its stat") << "grown" << qint64(1 << 20);
        QTest::newRow("replaced after its stat, same size") << "replaced" << qint64(1 << 20);
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
        if (kind == "replaced")
            QVERIFY(writeFile(dir.filePath("new"), QByteArray(bytes.size(), 'n'))
                    && QFile::remove(path) && QFile::rename(dir.filePath("new"), path));
        if (kind == "fifo")
            QVERIFY(QFile::remove(path) && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        // The service copies a larger file, then the thread acts for a
        // stranger: what lies past the stranger's bytes is not the service's.
        std::unique_ptr<FsIdentity> stranger;
        if (kind == "smaller") {
            const QString large = dir.filePath("large.jpg");
            struct stat lst;
            QVERIFY(writeFile(large, QByteArray(3 << 20, 'z')) && ::stat(QFile::encodeName(large).constData(), &lst) == 0);
            SourceCopy first;
            QVERIFY(first.copy(large, lst, most));
            QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                          | QFile::ExeOther));
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadOther));
            BR2PeerCredentials peer;
            peer.valid = true;
            peer.uid = peer.gid = 65534;
            stranger.reset(new FsIdentity(peer));
        }
        SourceCopy copy;
        const bool copied = (kind == "file" || kind == "smaller") && most > bytes.size();
        QCOMPARE(copy.copy(path, st, most), copied);
        QCOMPARE(copy.fd() >= 0, copied);
        if (!copied)
            return;
        QCOMPARE(copy.md5hex(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
        QCOMPARE(copy.size(), qint64(bytes.size()));
        QByteArray back(bytes.size(), '\0');
        QCOMPARE(::pread(copy.fd(), back.data(), size_t(back.size()), 0), ssize_t(bytes.size()));
        QCOMPARE(back, bytes);
        QByteArray past(4096, 'x');
        QCOMPARE(::pread(copy.fd(), past.data(), size_t(past.size()), bytes.size()), ssize_t(past.size()));
        QCOMPARE(past, QByteArray(past.size(), '\0'));
        // Whoever is given the descriptor can neither write nor map for writing.
        QCOMPARE(::pwrite(copy.fd(), "x", 1, 0), ssize_t(-1));
        QCOMPARE(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, copy.fd(), 0), MAP_FAILED);
    }

    // A worker's memory file is given back when its thread ends, which can
    // be after main has returned: the program still exits cleanly.
    void threadEndsAfterMain()
    {
        for (int i = 0; i < 300; ++i) {
            QProcess probe;
            probe.start(QStringLiteral(K8_THREAD_END_PROBE), QStringList());
            QVERIFY(probe.waitForFinished(10000));
            QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0,
                     qPrintable(QStringLiteral("run %1: %2").arg(i).arg(probe.readAllStandardError().constData())));
        }
    }
};

QTEST_GUILESS_MAIN(TestSourceCopy)
#include "tst_sourcecopy.moc"
