#include "childprocess.h"

#include "peeraccess.h"

#include <QtTest>

#include <sys/syscall.h>
#include <unistd.h>

class TestChildProcess : public QObject
{
    Q_OBJECT
private slots:
    // Standard error kept, its last bytes only; the exit code as given.
    void errorsCaptured()
    {
        ChildProcess child(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo one >&2; echo two >&2; exit 3")});
        child.captureErrors(6);
        QCOMPARE(child.run(10000), ChildProcess::Finished);
        QCOMPARE(child.exitCode(), 3);
        QCOMPARE(child.errorTail(), QByteArray("e\ntwo\n"));
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
        BR2PeerCredentials stranger;
        stranger.valid = true;
        stranger.uid = stranger.gid = 65534;
        stranger.groups = {4242, 4343};
        {
            const FsIdentity as(stranger);
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
