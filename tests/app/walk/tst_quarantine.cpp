#include "quarantine.h"

#include "filealias.h"
#include "peeraccess.h"
#include "testhelpers.h"

#include <QtTest>

#include <sys/fsuid.h>
#include <thread>
#include <unistd.h>

namespace {

// The quarantine compares size and modification time only.
struct stat fileStat()
{
    struct stat st {};
    st.st_size = 5;
    st.st_mtim = {100, 7};
    return st;
}

// The slots a process leaves when it dies while `workers` threads render path.
bool leaveSlots(const QString &db, const QByteArray &path, int workers, bool alone)
{
    QJsonObject slot{{"path", QFile::decodeName(path)}, {"size", 5}, {"mtime", 100}, {"mtimens", 7}, {"alone", alone}};
    if (!FileAlias::isValidName(path))
        slot.insert("path64", QString::fromLatin1(path.toBase64()));
    const QByteArray line = (QJsonDocument(slot).toJson(QJsonDocument::Compact) + '\n').leftJustified(8192, ' ');
    return writeFile(db + ".inprogress", line.repeated(workers));
}

} // namespace

// What a start makes of the files a dead process was rendering, and the
// list written as the service by a thread that acts as a client.
class TestQuarantine : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;   // the temporary folder the alias sweep looks at

private slots:
    void initTestCase() { qputenv("TMPDIR", QFile::encodeName(m_tmp.path())); }

    void deathsAtStart_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("suspect");    // a suspect before this death
        QTest::addColumn<int>("workers");     // the slots it is found in
        QTest::addColumn<bool>("alone");
        QTest::addColumn<int>("verdict");
        QTest::newRow("one file in two workers is one death") << QByteArray("/src/a.png") << false << 2 << false << int(Quarantine::RenderAlone);
        QTest::newRow("a suspect dying beside others stays a suspect") << QByteArray("/src/a.png") << true << 1 << false << int(Quarantine::RenderAlone);
        QTest::newRow("died rendering alone") << QByteArray("/src/a.png") << true << 1 << true << int(Quarantine::Skip);
        QTest::newRow("Latin-1 name") << QByteArray("/src/caf\xe9.png") << true << 1 << true << int(Quarantine::Skip);
    }

    void deathsAtStart()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, suspect);
        QFETCH(int, workers);
        QFETCH(bool, alone);
        QFETCH(int, verdict);
        QTemporaryDir dir;
        const QString db = dir.filePath("queue.db");
        if (suspect) {
            QVERIFY(leaveSlots(db, path, 1, false) && Quarantine::open(db));
            QCOMPARE(Quarantine::verdict(path, fileStat()), Quarantine::RenderAlone);
        }
        QVERIFY(leaveSlots(db, path, workers, alone) && Quarantine::open(db));
        QCOMPARE(int(Quarantine::verdict(path, fileStat())), verdict);
        QVERIFY(Quarantine::open(db));   // as saved and read back
        QCOMPARE(int(Quarantine::verdict(path, fileStat())), verdict);
        QCOMPARE(Quarantine::count(), verdict == Quarantine::Skip ? 1 : 0);
        // Another file whose name reads the same is not held for it.
        if (!FileAlias::isValidName(path))
            QCOMPARE(Quarantine::verdict(QFile::encodeName(QFile::decodeName(path)), fileStat()), Quarantine::Render);
    }

    // A file that timed out is tried once a start; a render the helper
    // never saw (it could not start) does not spend that try.
    void timeOutTriedOncePerStart()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath("queue.db");
        const QByteArray path("/src/slow.png");
        QVERIFY(Quarantine::open(db));
        Quarantine::Rendering(path, fileStat(), false).finished(RenderResult::HelperTimedOut, false);
        QCOMPARE(Quarantine::verdict(path, fileStat()), Quarantine::Skip);
        QVERIFY(Quarantine::open(db));   // the next start
        QCOMPARE(Quarantine::verdict(path, fileStat()), Quarantine::Render);
        Quarantine::Rendering(path, fileStat(), false).finished(RenderResult::HelperUnavailable, false);
        QCOMPARE(Quarantine::verdict(path, fileStat()), Quarantine::Render);
        QCOMPARE(Quarantine::verdict(path, fileStat()), Quarantine::Skip);
    }

    // A client's walk over a suspect that renders takes it off the list,
    // in a folder only the service may write, and goes on as the client.
    void clientRendersSuspect()
    {
        if (::geteuid() != 0)
            QSKIP("taking another user's identity needs root");
        QTemporaryDir dir;   // 0700, root's
        const QString db = dir.filePath("queue.db");
        QVERIFY(leaveSlots(db, "/src/a.png", 1, false) && Quarantine::open(db));
        QVERIFY(readFile(db + ".quarantine").contains("a.png"));
        bool client = false;
        bool stillClient = false;
        std::thread([&] {
            const FsIdentity as(BR2PeerCredentials{true, -1, 65534, 65534, {}});
            client = as.active();
            Quarantine::Rendering rendering("/src/a.png", fileStat(), true);
            rendering.finished(RenderResult::Rendered, false);
            stillClient = ::setfsuid(uid_t(-1)) == 65534 && FsIdentity::current();
        }).join();
        QVERIFY(client && stillClient);
        QVERIFY(!readFile(db + ".quarantine").contains("a.png"));
    }
};

QTEST_GUILESS_MAIN(TestQuarantine)
#include "tst_quarantine.moc"
