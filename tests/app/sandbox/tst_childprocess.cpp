#include "childprocess.h"

#include "peeraccess.h"
#include "testhelpers.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

class TestChildProcess : public QObject
{
    Q_OBJECT
private slots:
    // As high a core size as this process may have, signals ignored as the
    // service ignores them and one blocked: what the child gets is the
    // spawn's and the launcher's doing.
    void initTestCase()
    {
        rlimit core;
        QVERIFY(::getrlimit(RLIMIT_CORE, &core) == 0);
        core.rlim_cur = core.rlim_max;
        QVERIFY(::setrlimit(RLIMIT_CORE, &core) == 0);
        ::signal(SIGSEGV, SIG_IGN);
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        QVERIFY(::pthread_sigmask(SIG_BLOCK, &blocked, nullptr) == 0);
    }

    // Standard error kept, its last bytes only; the exit code as given.
    void errorsCaptured()
    {
        ChildProcess child(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo one >&2; echo two >&2; exit 3")});
        child.captureErrors(6);
        QCOMPARE(child.run(10000), ChildProcess::Finished);
        QCOMPARE(child.exitCode(), 3);
        QCOMPARE(child.errorTail(), QByteArray("e\ntwo\n"));
    }

    // What every child gets from the launcher, seen from a shell inside it;
    // a program that cannot be run is not started at all.
    void childSetup_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<qint64>("dataLimit");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QByteArray>("output");
        const auto sh = [](const char *script) { return QStringList{"sh", "-c", script}; };
        QTest::newRow("no such program") << QStringList{"k8-no-such-program"} << qint64(0) << int(ChildProcess::NotStarted) << QByteArray();
        QTest::newRow("no such path") << QStringList{"/nonexistent/sh"} << qint64(0) << int(ChildProcess::NotStarted) << QByteArray();
        // The shell's own descriptors ("; true": not replaced by ls).
        QTest::newRow("only 0, 1, 2 open") << sh("ls /proc/$$/fd; true") << qint64(0) << int(ChildProcess::Finished)
                                           << QByteArray("0\n1\n2\n");
        QTest::newRow("data limit") << sh("ulimit -d") << (qint64(64) << 20) << int(ChildProcess::Finished) << QByteArray("65536\n");
        QTest::newRow("no core files") << sh("ulimit -c") << qint64(0) << int(ChildProcess::Finished) << QByteArray("0\n");
        // Not through a shell, which sets its own mask.
        QTest::newRow("signals default, none blocked") << QStringList{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"} << qint64(0)
                                                       << int(ChildProcess::Finished)
                                                       << QByteArray("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
        QTest::newRow("own process group") << sh("test \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ && echo own")
                                           << qint64(0) << int(ChildProcess::Finished) << QByteArray("own\n");
    }

    void childSetup()
    {
        QFETCH(QStringList, command);
        QFETCH(qint64, dataLimit);
        QTemporaryFile out;
        QVERIFY(out.open());
        // Open in the service without close-on-exec: the child must not see it.
        const int stray = ::open("/dev/null", O_RDONLY);
        QVERIFY(stray > 2);
        ChildProcess child(command.first(), command.mid(1));
        child.setStandardOutput(out.handle());
        child.setDataLimit(dataLimit);
        const ChildProcess::Outcome got = child.run(10000);
        ::close(stray);
        QTEST(int(got), "outcome");
        QCOMPARE(child.startError().isEmpty(), got != ChildProcess::NotStarted);
        QTEST(readFile(out.fileName()), "output");
    }

    // A child started for a stranger runs as the stranger: its uid, its gid
    // and exactly its groups, none of the service's own (4747 here).
    void strangerChildHasStrangersGroups()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        ChildProcess child(QStringLiteral("/bin/sh"), {QStringLiteral("-c"),
                           QStringLiteral("grep -E '^(Uid|Gid|Groups):' /proc/self/status >&2")});
        child.captureErrors(4096);
        {
            const FsIdentity as(BR2PeerCredentials{true, -1, 65534, 65534, {4242, 4343}});
            QVERIFY(as.active());
            // The thread's groups back to the service's own (raw call: this
            // thread only; the identity's end restores them): the child
            // must set the stranger's itself.
            const gid_t own = 4747;
            QVERIFY(::syscall(SYS_setgroups, 1, &own) == 0);
            QCOMPARE(child.run(10000), ChildProcess::Finished);
        }
        QCOMPARE(child.errorTail().simplified(),
                 QByteArray("Uid: 65534 65534 65534 65534 Gid: 65534 65534 65534 65534 Groups: 4242 4343"));
    }
};

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_childprocess.moc"
