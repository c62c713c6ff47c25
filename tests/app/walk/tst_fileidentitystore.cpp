#include "fileidentitystore.h"

#include "layoutwalk.h"
#include "mediakind.h"
#include "mediafixture.h"

#include <cstdio>
#include <sqlite3.h>
#include <sys/stat.h>
#include <utime.h>

// Rescans through the identity store: no content read for what it knows,
// a changed or replaced file seen as such.
class TestFileIdentityStore : public QObject, MediaCase
{
    Q_OBJECT
    static qint64 bytesRead()
    {
        const QByteArray io = readFile(QStringLiteral("/proc/self/io"));
        return io.mid(io.indexOf("rchar:") + 6).split('\n').value(0).trimmed().toLongLong();
    }
    bool photo(const QString &name, int seed) const
    {
        return detailed(800, 600, seed).save(d->mkdir("src") + '/' + name, "jpeg", 95);
    }
    bool vault() const { return snapvaultWalk(at("src"), at("vault"), 100, 100); }

private slots:
    void init()
    {
        QVERIFY(fresh());
        QVERIFY(FileIdentityStore::open(at("queue.db"), 0));       // trust records at once
    }
    void cleanup() { FileIdentityStore::close(); }

    // The first walk reads each picture once (hash and decode from one
    // read), the second reads none.
    void rescanReadsNothing()
    {
        QVERIFY(photo("a.jpg", 1) && photo("b.jpg", 2) && photo("c.jpg", 3));
        const qint64 folder = QFileInfo(at("src/a.jpg")).size() * 3;
        qint64 before = bytesRead();
        QVERIFY(vault());
        QVERIFY2(bytesRead() - before < folder * 11 / 10, qPrintable(QString::number(bytesRead() - before)));
        before = bytesRead();
        QVERIFY(vault());
        QVERIFY2(bytesRead() - before < folder / 20, qPrintable(QString::number(bytesRead() - before)));
        QCOMPARE(entries(at("vault")).size(), 3);
    }

    // A picture an older service recorded as no media (a type it did not
    // route) is looked at again once the routing has grown.
    void noMediaOfOlderRoutingForgotten()
    {
        QVERIFY(photo("a.jpg", 1));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(at("src/a.jpg")).constData(), &st) == 0);
        FileIdentityStore::record(at("src/a.jpg"), FileIdentity::of(st), MediaNone, QByteArray());
        FileIdentityStore::close();
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(at("queue.db.files")).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        QVERIFY(FileIdentityStore::open(at("queue.db"), 0));
        QVERIFY(vault());
        QCOMPARE(entries(at("vault")).size(), 1);
    }

    // A changed file is hashed again and gets the thumbnail of its content.
    void changeSeen_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("new mtime, same size") << 0;
        QTest::newRow("same mtime, new size") << 1;
        QTest::newRow("replaced by rename: new inode") << 2;
    }

    void changeSeen()
    {
        QFETCH(int, change);
        QVERIFY(photo("a.jpg", 1) && vault());
        const QString a = at("src/a.jpg");
        struct stat was;
        QVERIFY(::stat(QFile::encodeName(a).constData(), &was) == 0);
        QByteArray bytes = readFile(a);
        if (change == 0) {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);   // same size, new content
            QVERIFY(writeFile(a, bytes));
        } else if (change == 1) {
            QVERIFY(writeFile(a, bytes + "trailing"));
            const struct utimbuf times{was.st_atime, was.st_mtime};
            QVERIFY(::utime(QFile::encodeName(a).constData(), &times) == 0);
        } else {
            QVERIFY(photo("new.jpg", 9) && ::rename(QFile::encodeName(at("src/new.jpg")).constData(), QFile::encodeName(a).constData()) == 0);
        }
        QVERIFY(vault());
        QCOMPARE(entries(at("vault")).size(), 2);
    }

    // cp -p over a source walked into two thumbnail folders: both render again.
    void olderCopyOverSourceRendersBoth()
    {
        QVERIFY(photo("a.jpg", 1));
        for (const char *thumbs : {"one", "two"})
            QVERIFY(pellowcloudWalk(at("src"), at(thumbs), 100, 100));
        QVERIFY(picture(100, 200, BLUE).save(at("older.jpg"), "jpeg"));
        const struct utimbuf old{0, 1000000000};
        QVERIFY(::utime(QFile::encodeName(at("older.jpg")).constData(), &old) == 0
                && ::rename(QFile::encodeName(at("older.jpg")).constData(), QFile::encodeName(at("src/a.jpg")).constData()) == 0);
        for (const char *thumbs : {"one", "two"}) {
            QVERIFY(pellowcloudWalk(at("src"), at(thumbs), 100, 100));
            QCOMPARE(QImageReader(at(thumbs) + '/' + entries(at(thumbs)).value(0)).size(), QSize(50, 100));
        }
    }

    // Opened as the service opens it: a record whose file times lie within
    // 2 s of its making is not trusted, by either table. A file just
    // written has both there; one set back with touch -d still has its
    // ctime there.
    void freshTimesUntrusted_data()
    {
        QTest::addColumn<int>("mtimeAgo");   // seconds before the recording
        QTest::addColumn<int>("ctimeAgo");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("just written") << 0 << 0 << false;
        QTest::newRow("set back, changed now") << 3600 << 0 << false;
        QTest::newRow("dated now by a change an hour ago") << 0 << 3600 << false;
        QTest::newRow("a second old") << 1 << 1 << false;
        QTest::newRow("an hour old") << 3600 << 3600 << true;
    }

    void freshTimesUntrusted()
    {
        QFETCH(int, mtimeAgo);
        QFETCH(int, ctimeAgo);
        QFETCH(bool, trusted);
        FileIdentityStore::close();
        QVERIFY(FileIdentityStore::open(at("queue.db")));
        const qint64 now = QDateTime::currentMSecsSinceEpoch() * 1000000, s = 1000000000;
        const FileIdentity id{1, 2, now - mtimeAgo * s, now - ctimeAgo * s};
        FileIdentityStore::record(at("a.jpg"), id, 1, "0123456789abcdef0123456789abcdef");
        FileIdentityStore::recordRender(at("t.jpg"), at("a.jpg"), id);
        int kind = 0;
        QByteArray md5;
        QCOMPARE(FileIdentityStore::known(at("a.jpg"), id, kind, md5), trusted);
        QCOMPARE(FileIdentityStore::rendered(at("t.jpg"), id), trusted ? FileIdentityStore::Current : FileIdentityStore::NoRecord);
    }

    void corruptStoreSetAside()
    {
        FileIdentityStore::close();
        QVERIFY(writeFile(at("queue.db.files"), QByteArray(8192, 'x')));
        QVERIFY(FileIdentityStore::open(at("queue.db"), 0));
        QVERIFY(entries(d->path()).filter("queue.db.files.corrupt-").size() == 1);
        QVERIFY(photo("a.jpg", 1) && vault() && vault());
        QCOMPARE(entries(at("vault")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestFileIdentityStore)
#include "tst_fileidentitystore.moc"
