#include "br2utils.h"
#include "filealias.h"
#include "servicefixture.h"
#include "brlib/brlibfixture.h"

#include <algorithm>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <utime.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

// What a refused start finds: it may change the fixture, the first service
// and the socket's path, and says whether it could set that up.
using Setup = std::function<bool(ServiceFixture &s, ServiceFixture &first, QString &at)>;
Q_DECLARE_METATYPE(Setup)

namespace {

// The processes of a session, the service's own among them.
QList<pid_t> sessionMembers(qint64 sid)
{
    QList<pid_t> out;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QList<QByteArray> stat = readFile("/proc/" + pid + "/stat").split(')').value(1).split(' ');
        if (stat.size() > 6 && stat.at(4).toLongLong() == sid)
            out << pid_t(pid.toInt());
    }
    return out;
}

// A setup that changes only the fixture.
Setup changeFixture(const std::function<bool(ServiceFixture &s)> &change)
{
    return [change](ServiceFixture &s, ServiceFixture &, QString &) { return change(s); };
}

}   // namespace

// The real binary from the outside: its configuration and signals, requests
// over the real socket and through the client, what it refuses to other
// users, and what a quit, a kill or a lost database leaves of the queue.
class TestService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Q_INIT_RESOURCE(k8thumbgen); }

    // A refused start says why, ends with status 1, runs no job and leaves
    // what it found as it was: a file that is not a socket stays at the
    // socket's path (tst_br2localserver has the live and the dead socket), a
    // database that is not a queue of ours is not written, and one database
    // has one service.
    void refusedStartTouchesNothing_data()
    {
        QTest::addColumn<QStringList>("args");   // empty: --cfg config.json
        QTest::addColumn<QStringList>("said");   // @socket and @database stand for the configured paths
        QTest::addColumn<Setup>("setup");        // what the start finds at the paths
        const QString noLpcid = QStringLiteral("未定义lpcid内容\n");
        const QString failed = QStringLiteral("系统配置文装载失败: ");
        const QStringList cfg, socket{"@socket"}, database{"@database"};
        const Setup none = changeFixture([](ServiceFixture &) { return true; });
        QTest::newRow("missing config") << QStringList{"--cfg", "nothere/config.json"}
                                        << QStringList{failed + "nothere/config.json\n", noLpcid} << none;
        const Setup blankLpcid = changeFixture([](ServiceFixture &s) {
            s.config().insert(QStringLiteral("lpcid"), QStringLiteral("  \t "));
            return true;
        });
        QTest::newRow("blank lpcid") << QStringList{"--cfg=config.json"}
                                     << QStringList{failed + "config.json\n", noLpcid} << blankLpcid;
        QTest::newRow("--cfg= reads the default")
            << QStringList{"--cfg="} << QStringList{failed + "/orby/etc/thumbgen/config.json\n", noLpcid} << none;
        QTest::newRow("queue version 2") << cfg << QStringList{failed} << changeFixture([](ServiceFixture &s) {
            return sqlite(s.dbPath(), "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';").isEmpty();
        });
        QTest::newRow("foreign sqlite") << cfg << QStringList{failed} << changeFixture([](ServiceFixture &s) {
            return QFile::remove(s.dbPath())
                && sqlite(s.dbPath(), "CREATE TABLE photos (id INTEGER, name TEXT); INSERT INTO photos VALUES (1, 'a');", true).isEmpty();
        });
        // Not a socket, and not even a file at the end of the link: lstat, not stat, finds it.
        QTest::newRow("link") << cfg << socket << Setup([](ServiceFixture &s, ServiceFixture &, QString &at) {
            return QFile::link(s.path(QStringLiteral("nowhere")), at = s.path(QStringLiteral("taken")));
        });
        // The first service on the database, this one on a link to it: one lock, at the real file.
        const Setup viaLink = [](ServiceFixture &s, ServiceFixture &first, QString &) {
            first.config().insert(QStringLiteral("database"), s.dbPath());
            first.config().insert(QStringLiteral("threads"), 0);
            s.config().insert(QStringLiteral("database"), s.path(QStringLiteral("link.db")));
            // Once the first service has run the shared job, its mark goes.
            const bool up = QFile::link(s.dbPath(), s.path(QStringLiteral("link.db"))) && first.listen() && s.drained();
            QFile::remove(s.path(QStringLiteral("ran")));
            return up;
        };
        QTest::newRow("same database through a link") << cfg << database << viaLink;
        QTest::newRow("read-only database") << cfg << database << changeFixture([](ServiceFixture &s) {
            if (::geteuid() != 0)
                return QFile::setPermissions(s.dbPath(), QFileDevice::ReadOwner);
            return QProcess::execute(QStringLiteral("mount"), {"--bind", s.path("db"), s.path("db")}) == 0
                && QProcess::execute(QStringLiteral("mount"), {"-o", "remount,ro,bind", s.path("db")}) == 0;
        });
        QTest::newRow("hard link to the database") << cfg << database << changeFixture([](ServiceFixture &s) {
            return ::link(QFile::encodeName(s.dbPath()).constData(), QFile::encodeName(s.path("alias.db")).constData()) == 0;
        });
    }

    void refusedStartTouchesNothing()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, said);
        QFETCH(Setup, setup);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        if (args.value(0) == QLatin1String("--cfg=") && QFileInfo::exists(QStringLiteral("/orby/etc/thumbgen/config.json")))
            QSKIP("a default configuration exists on this machine");
        ServiceFixture first;
        ServiceFixture s;
        const QString ran = s.path(QStringLiteral("ran"));
        QVERIFY(s.prefill({compactItem({ran}, QStringLiteral("touch ${PARAM1}"))}));
        QString at = s.socketPath();
        QVERIFY2(setup(s, first, at), first.output());
        if (s.config().value(QStringLiteral("lpcid")) == s.socketPath())   // unless the row set its own
            s.config().insert(QStringLiteral("lpcid"), at);
        const QByteArray atBefore = readFile(at);
        const QByteArray dbBefore = readFile(s.dbPath());
        QVERIFY(s.start({}, args));
        const int status = s.waitExit(20000);
        if (tag == QLatin1String("read-only database") && ::geteuid() == 0)
            QProcess::execute(QStringLiteral("umount"), {s.path("db")});
        QCOMPARE(status, 1);
        const QByteArray out = s.output();
        QVERIFY2(!out.contains("lpcID: "), out);
        for (QString text : said) {
            text.replace(QLatin1String("@socket"), at).replace(QLatin1String("@database"), s.config().value("database").toString());
            QVERIFY2(out.contains(text.toUtf8()), out);
        }
        QCOMPARE(readFile(at), atBefore);
        QVERIFY(QFileInfo(at).isSymLink() == (tag == QLatin1String("link")));
        QVERIFY(!QFileInfo::exists(ran) && !QFileInfo::exists(s.path(QStringLiteral("nothere"))));
        if (!tag.startsWith(QLatin1String("same"))) {   // a shared database is the first service's to write
            QCOMPARE(readFile(s.dbPath()), dbBefore);
            for (const char *side : {"-wal", "-shm", "-journal"})
                QVERIFY2(!QFileInfo::exists(s.dbPath() + QLatin1String(side)), side);
        }
    }

    // SIGHUP and SIGPIPE leave the service running. SIGINT or SIGTERM, to the
    // service or to its whole session as a terminal or the service manager
    // sends it, ends it within two seconds even in the middle of a job: the
    // job keeps its row and nothing of it is left running, not even a child
    // of its child. (A walk stops for the same request in tst_layoutwalk.)
    void quitKeepsJobCutOff_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("stop");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("rowsLeft");
        QTest::newRow("SIGTERM to the whole session")
            << "sh -c \"touch ${PARAM1}; sleep 29.7\"" << "session" << int(SIGTERM) << 1;
        QTest::newRow("SIGINT to the service, background child")
            << "sh -c \"sleep 29.8 & touch ${PARAM1}; wait\"" << "service" << int(SIGINT) << 1;
        QTest::newRow("command reading its input") << "sh -c \"touch ${PARAM1}; cat\"" << "when done" << int(SIGTERM) << 0;
    }

    void quitKeepsJobCutOff()
    {
        QFETCH(QString, command);
        QFETCH(QString, stop);
        QFETCH(int, signal);
        ServiceFixture s;
        const QString started = s.path(QStringLiteral("started"));
        QVERIFY(s.prefill({compactItem({started}, command)}));
        QVERIFY(s.listen({QStringLiteral("setsid")}));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(started); }, 10000));
        const qint64 sid = s.process().processId();
        ::kill(pid_t(sid), SIGHUP);
        ::kill(pid_t(sid), SIGPIPE);
        QVERIFY(!s.process().waitForFinished(300));
        if (stop == QLatin1String("when done"))
            QVERIFY(s.drained());
        for (pid_t pid : stop == QLatin1String("session") ? sessionMembers(sid) : QList<pid_t>{pid_t(sid)})
            ::kill(pid, signal);
        QCOMPARE(s.waitExit(2000), 0);
        QVERIFY(s.output().contains("Wait for quit ...\n"));
        QVERIFY(!QFileInfo::exists(s.socketPath()));
        QTEST(s.rows().size(), "rowsLeft");
        QTRY_VERIFY_WITH_TIMEOUT(sessionMembers(sid).isEmpty(), 2000);
    }

    // The client's exit status and what it says, run in the test's folder
    // against a service whose only worker is held (job 1), so that what it
    // queued can be read back. The service's own name for a command works
    // for help as well as the client's word. The socket is found by
    // --lpcid, then --cfg, then the file K8THUMBGEN_CFG names; the first
    // one given decides, and when it names no socket the client says each
    // place it looked at.
    void ctlExitCodes_data()
    {
        QTest::addColumn<QStringList>("args");     // a first K8THUMBGEN_CFG=... is set in the client's environment
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("queued");   // @ stands for the test's folder, here and in args and said
        QTest::addColumn<QStringList>("said");
        const QStringList none;
        QTest::newRow("setthreads 0 refused before sending") << QStringList{"setthreads", "0"} << 2 << none << none;
        QTest::newRow("unknown command") << QStringList{"call", "{\"cmd\":\"nope\"}"} << 1 << none
                                         << QStringList{"the service has no command nope"};
        QTest::newRow("bad call") << QStringList{"call", "[1]"} << 2 << none << none;
        QTest::newRow("empty call is never answered") << QStringList{"call", "{}"} << 2 << none << none;
        // Control characters take six bytes each in JSON: 9.4 MiB of text.
        QTest::newRow("over the JSON limit")
            << QStringList{"run", "true"} + QVector<QString>(12, QString(131000, QChar(1))).toList() << 2 << none << none;
        QTest::newRow("no server") << QStringList{"--lpcid", "/nonexistent/k8/s", "threads"} << 2 << none
                                   << QStringList{"no answer from /nonexistent/k8/s, named by --lpcid"};
        QTest::newRow("relative paths sent as absolute, the job's number said")
            << QStringList{"insert", "pellowcloud", "media", "thumbs"} << 0
            << QStringList{R"({"args":["pellowcloud","@/media","@/thumbs"],"command":""})"} << QStringList{"queued job 2\n"};
        // One job a folder, depth first in name order, each with the same thumbnail folder and
        // box; the thumbnail folder, a hidden folder and a link back to the top are left out.
        const QString job = R"({"args":["pellowcloud","@/src%1","@/src/thumbs","64","48"],"command":""})";
        QTest::newRow("insert --recursive")
            << QStringList{"insert", "--recursive", "pellowcloud", "src", "src/thumbs", "64", "48"} << 0
            << QStringList{job.arg(""), job.arg("/a"), job.arg("/b"), job.arg("/b/deep")}
            << QStringList{"queued 4 jobs, one per folder: jobs 2 to 5\n"};
        QTest::newRow("cancel abc refused before sending") << QStringList{"cancel", "abc"} << 2 << none << none;
        QTest::newRow("cancel an unknown job") << QStringList{"cancel", "46"} << 1 << none << QStringList{"no job 46\n"};
        QTest::newRow("cancel the running job") << QStringList{"cancel", "1"} << 0 << none
                                                << QStringList{"stopping job 1 at its next file\n"};
        QTest::newRow("until-idle without watch") << QStringList{"status", "--until-idle"} << 2 << none << none;
        QTest::newRow("help insert") << QStringList{"help", "insert"} << 0 << none
                                     << QStringList{"  insert --recursive LAYOUT", "thumbgen_insert: Queues a job", "  args "};
        QTest::newRow("help thumbgen_insert") << QStringList{"help", "thumbgen_insert"} << 0 << none
                                              << QStringList{"  insert LAYOUT", "  run COMMANDLINE", "thumbgen_insert: Queues"};
        const QStringList oneWorker{"runs 1 worker"};
        QTest::newRow("variable") << QStringList{"K8THUMBGEN_CFG=@/config.json", "threads"} << 0 << none
                                  << QStringList{"the service runs 1 worker\n"};
        QTest::newRow("--cfg before the variable")
            << QStringList{"K8THUMBGEN_CFG=@/none.json", "--cfg", "@/config.json", "threads"} << 0 << none << oneWorker;
        QTest::newRow("--lpcid before --cfg")
            << QStringList{"K8THUMBGEN_CFG=", "--lpcid", "@/s", "--cfg", "@/none.json", "threads"} << 0 << none << oneWorker;
        QTest::newRow("a variable naming no file")
            << QStringList{"K8THUMBGEN_CFG=@/none.json", "threads"} << 2 << none
            << QStringList{"looked at --lpcid: not given; --cfg: not given; K8THUMBGEN_CFG=@/none.json: no such file"};
        QTest::newRow("--cfg without a socket, the variable not tried")
            << QStringList{"K8THUMBGEN_CFG=@/config.json", "--cfg", "@/empty.json", "threads"} << 2 << none
            << QStringList{"looked at --lpcid: not given; --cfg @/empty.json: no \"lpcid\" in it ("};
    }

    void ctlExitCodes()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, queued);
        QFETCH(QStringList, said);
        ServiceFixture s;
        QVERIFY(s.prefill({compactItem({}, QStringLiteral("sleep 30"))}) && s.listen() && writeFile(s.path("empty.json"), "{}"));
        // Without "report" a reply stays the bare code it always was.
        QCOMPARE(s.call(cmd("thumbgen_setthreads", {{"threads", 1}})), (QJsonObject{{"err", 0}}));
        for (const char *name : {"media", "src/b/deep", "src/a", "src/.hidden", "src/thumbs/sub"})
            QVERIFY(!s.folder(QString::fromLatin1(name)).isEmpty());
        QVERIFY(QFile::link(s.path("src"), s.path("src/b/loop")));
        QVERIFY(QTest::qWaitFor([&] { return s.call(cmd("thumbgen_status")).value("results").toObject().value("running").toArray().size() == 1; }, 5000));
        for (QString &a : args)
            a.replace(QLatin1Char('@'), s.root());
        const QStringList wrapper
            = args.value(0).startsWith(QLatin1String("K8THUMBGEN_CFG=")) ? QStringList{"env", args.takeFirst()} : QStringList();
        QElapsedTimer clock;
        clock.start();
        QByteArray out;
        QTEST(ctl(s, args, &out, wrapper), "status");
        QVERIFY2(clock.elapsed() < 5000, "the client waited for an answer that cannot come");
        for (QString words : said)
            QVERIFY2(out.contains(words.replace(QLatin1Char('@'), s.root()).toUtf8()), out);
        QStringList items;
        for (const QJsonObject &row : s.rows().mid(1))
            items << row.value(QStringLiteral("item")).toString().replace(s.root(), QStringLiteral("@"));
        QCOMPARE(items, queued);
    }

    // The client as nobody: only what nobody could do itself is queued or
    // changed; its own folders show that the refusals are each for a reason.
    // A member of the trust group, by either kind of group, is trusted.
    void untrustedPeer_data()
    {
        QTest::addColumn<QStringList>("args");   // PUB: a folder open to all, PRIV: root's own, RO: root's, readable
        QTest::addColumn<QStringList>("groups"); // setpriv's options; TRUST: the trust group's gid
        QTest::addColumn<int>("err");
        QTest::addColumn<QString>("said");
        const QStringList nobody{"--regid=65534", "--clear-groups"};
        const QString trusted = "only root, the service's own user and members of its trust group may %1, "
                                "and this client runs as user nobody (uid 65534)";
        QTest::newRow("command job") << QStringList{"run", "touch PUB/ran"} << nobody << 9884
                                     << trusted.arg("queue a command job");
        QTest::newRow("command job, trust group supplementary")
            << QStringList{"run", "touch PUB/ran"} << QStringList{"--regid=65534", "--groups=TRUST"} << 0 << "queued job 1";
        QTest::newRow("command job, trust group primary")
            << QStringList{"run", "touch PUB/ran"} << QStringList{"--regid=TRUST", "--clear-groups"} << 0 << "queued job 1";
        QTest::newRow("unreadable source") << QStringList{"insert", "pellowcloud", "PRIV", "PUB/thumbs"} << nobody << 9884
                                           << "refused: as user nobody (uid 65534) the source folder PRIV cannot be read";
        QTest::newRow("unwritable thumbs") << QStringList{"insert", "snapvault", "PUB", "PRIV"} << nobody << 9884
                                           << "refused: as user nobody (uid 65534) the thumbnail folder PRIV cannot be written";
        QTest::newRow("thumbs to make in an unwritable folder")
            << QStringList{"insert", "snapvault", "PUB", "PRIV/thumbs"} << nobody << 9884
            << "the thumbnail folder PRIV/thumbs cannot be made, since PRIV cannot be written";
        // The service names the source for both: only a look as the user tells them apart.
        QTest::newRow("thumbs to make in a readable source")
            << QStringList{"insert", "pellowcloud", "RO", "RO/.thumbs"} << nobody << 9884
            << "the thumbnail folder RO/.thumbs cannot be made, since RO cannot be written";
        QTest::newRow("own folders") << QStringList{"insert", "pellowcloud", "PUB", "PUB/thumbs/new"} << nobody << 0
                                     << "queued job 1";
        QTest::newRow("setthreads") << QStringList{"setthreads", "3"} << nobody << 9884 << trusted.arg("change the worker count");
        QTest::newRow("cancel") << QStringList{"cancel", "1"} << nobody << 9884 << trusted.arg("cancel a job");
    }

    void untrustedPeer()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, groups);
        QFETCH(int, err);
        QFETCH(QString, said);
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        const struct group *trust = ::getgrnam("daemon");
        QVERIFY(trust);
        ServiceFixture s;
        s.config().insert(QStringLiteral("trustgroup"), QStringLiteral("daemon"));
        QVERIFY(s.listen());
        s.openToAll();
        const QString pub = s.folder(QStringLiteral("pub"), 0777), priv = s.folder(QStringLiteral("priv"), 0700);
        const QString ro = s.folder(QStringLiteral("ro"), 0755);
        // RO first: the folders' paths may hold two capitals by chance, hardly four.
        const auto place = [&](QString &a) { a.replace(QLatin1String("RO"), ro).replace(QLatin1String("PUB"), pub).replace(QLatin1String("PRIV"), priv); };
        std::for_each(args.begin(), args.end(), place);
        place(said);
        for (QString &g : groups)
            g.replace(QLatin1String("TRUST"), QString::number(trust->gr_gid));
        QByteArray out;
        QVERIFY2(ctl(s, args, &out, QStringList{"setpriv", "--reuid=65534"} + groups) == (err ? 1 : 0), out);
        QVERIFY2(out.contains(said.toUtf8()), out);
        if (err != 0)
            QVERIFY(s.rows().isEmpty());
        QCOMPARE(s.call(cmd("thumbgen_threads")).value("results").toObject().value("threads").toInt(), 1);
    }

    // An attachment is dropped as it arrives: a 60 MiB one used to be held
    // whole, and three at once raised the peak by 192 MiB.
    void attachmentNotHeld()
    {
        ServiceFixture s;
        QVERIFY(s.listen());
        const qint64 before = peakKiB(s.process().processId());
        const QByteArray text = BR2RpcPacket(cmd("thumbgen_threads")).toCompact();
        Client client(s.socketPath());
        QVERIFY(client.send(header(quint32(text.size()), 60u << 20) + text));
        for (int i = 0; i < 60; ++i)
            QVERIFY(client.send(QByteArray(1 << 20, 'a')));
        QCOMPARE(client.result(10000, "err"), 0);
        QVERIFY2(peakKiB(s.process().processId()) - before < 16 * 1024, "the attachment was held in memory");
    }

    // One untrusted user opens 1,100 connections: 64 stay open, the rest are
    // closed at once, and root is still answered. (A server out of
    // descriptors keeps its socket: tst_br2localserver.)
    void floodFromOnePeer()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        ServiceFixture s;
        QVERIFY2(s.listen(), s.output());
        s.openToAll();
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(s.socketPath()).constData(), sizeof addr.sun_path);
        int go[2];
        QCOMPARE(::pipe(go), 0);
        // The child, as nobody with room for 4,096 descriptors, is a copy of
        // a process with threads: it makes system calls only, never Qt calls.
        const pid_t pid = ::fork();
        if (pid == 0) {
            struct rlimit many {4096, 4096};
            if (::setrlimit(RLIMIT_NOFILE, &many) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0
                || ::setuid(65534) != 0)
                ::_exit(99);
            ::close(go[1]);
            std::vector<int> fds;
            for (int i = 0; i < 1100; ++i) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                    fds.push_back(fd);
            }
            char byte;
            (void)!::read(go[0], &byte, 1);
            // The server closes what is over the cap as it accepts; count
            // until it has, for at most five seconds.
            int open = 0;
            for (int round = 0; round < 250; ++round, ::poll(nullptr, 0, 20)) {
                open = 0;
                for (int fd : fds) {
                    char b;
                    open += ::recv(fd, &b, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
                }
                if (open <= BR2LocalServer::MAX_CONNECTIONS_PER_PEER)
                    break;
            }
            ::_exit(open);
        }
        ::close(go[0]);
        QVERIFY(QTest::qWaitFor([&] { return s.call(cmd("thumbgen_threads")).value("err") == 0; }, 10000));
        QCOMPARE(::write(go[1], "x", 1), ssize_t(1));
        ::close(go[1]);
        int status = 0;
        QVERIFY(::waitpid(pid, &status, 0) == pid && WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), int(BR2LocalServer::MAX_CONNECTIONS_PER_PEER));
        QCOMPARE(s.call(cmd("thumbgen_threads")).value("err").toInt(-1), 0);
    }

    // A stranger's stored job reads, writes and runs ffmpeg as the stranger.
    void strangerJobHasStrangerRights_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to an unreadable picture") << QStringLiteral("link");
        QTest::newRow("thumbnail folder swapped for a link") << QStringLiteral("swapped");
        QTest::newRow("video thumbnail owned by the stranger") << QStringLiteral("video");
    }

    void strangerJobHasStrangerRights()
    {
        QFETCH(QString, kind);
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        ServiceFixture s;
        s.openToAll();
        const QString pub = s.path(QStringLiteral("pub")), priv = s.folder(QStringLiteral("priv"));
        const QString picture = s.pictures(QStringLiteral("pictures"), 1) + "/p0000.png";   // root's
        QString thumbs = pub + "/thumbs";
        QVERIFY(QDir().mkpath(thumbs) && !priv.isEmpty() && QFileInfo::exists(picture));
        for (const QString &dir : {pub, thumbs})
            QVERIFY(::chown(QFile::encodeName(dir).constData(), 65534, 65534) == 0);
        if (kind == QLatin1String("link")) {
            QVERIFY(::chmod(QFile::encodeName(picture).constData(), 0600) == 0);
            QVERIFY(QFile::link(picture, pub + "/secret.png"));
        } else if (kind == QLatin1String("swapped")) {
            QVERIFY(QFile::copy(picture, pub + "/photo.png"));
            thumbs = pub + "/swapped";
            QVERIFY(QFile::link(priv, thumbs));
        } else {
            QCOMPARE(QProcess::execute("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=5", "-t", "1",
                                                  "-pix_fmt", "yuv420p", pub + "/clip.mp4"}), 0);
        }
        QJsonObject item{{"args", QJsonArray{"pellowcloud", pub, thumbs}}, {"command", ""},
                         {"peer", QJsonObject{{"uid", 65534}, {"gid", 65534}, {"groups", QJsonArray()}}}};
        QVERIFY(s.prefill({QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact))}));
        QVERIFY(s.listen());
        // A folder the stranger may not write keeps the job waiting for it.
        if (kind == QLatin1String("swapped"))
            QVERIFY(QTest::qWaitFor([&] { return !s.call(cmd("thumbgen_status")).value("results").toObject().value("postponed").toArray().isEmpty(); }, 20000));
        else
            QVERIFY(s.drained(20000));
        const QFileInfoList made = QDir(thumbs).entryInfoList(QDir::Files | QDir::Hidden);
        if (kind == QLatin1String("video")) {
            QCOMPARE(made.size(), 1);
            QCOMPARE(made.first().ownerId(), 65534u);
        } else {
            QVERIFY2(made.isEmpty() && QDir(priv).isEmpty(), qPrintable(made.value(0).fileName()));
        }
    }

    void reloadedJobsRunInOrder_data()
    {
        QTest::addColumn<int>("poporder");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("oldest first") << 1 << QByteArray("A\nB\nC\n");
        QTest::newRow("newest first") << 2 << QByteArray("C\nB\nA\n");
    }

    void reloadedJobsRunInOrder()
    {
        QFETCH(int, poporder);
        ServiceFixture s;
        const QString out = s.path(QStringLiteral("out.txt"));
        QStringList items;
        for (const char *name : {"A", "B", "C"})
            items << compactItem({QString::fromLatin1(name), out}, QStringLiteral("sh -c \"echo ${PARAM1} >> ${PARAM2}\""));
        QVERIFY(s.prefill(items));
        s.config().insert(QStringLiteral("poporder"), poporder);
        QVERIFY(s.start());
        QVERIFY(s.drained());
        QTEST(readFile(out), "expected");
    }

    // Each job marks itself running and holds on until released, so the
    // number running at once is the number of workers: the stored 4, not the
    // configured 2.
    void storedThreadCountWins()
    {
        ServiceFixture s;
        const QString running = s.path(QStringLiteral("running"));
        QVERIFY(QDir().mkpath(running));
        QStringList items;
        for (int i = 0; i < 8; ++i)
            items << compactItem({QString::number(i), running, s.path("release")},
                                 QStringLiteral("sh -c \"touch ${PARAM2}/${PARAM1}; "
                                                "while [ ! -e ${PARAM3} ]; do sleep 0.02; done\""));
        QVERIFY(s.prefill(items, 4));
        s.config().insert(QStringLiteral("threads"), 2);
        QVERIFY(s.start());
        const auto marks = [&] { return int(QDir(running).entryList(QDir::Files).size()); };
        QVERIFY(QTest::qWaitFor([&] { return marks() >= 4; }, 15000));
        QVERIFY(!QTest::qWaitFor([&] { return marks() > 4; }, 300));
        QVERIFY(writeFile(s.path("release"), QByteArray()));
        QVERIFY(s.drained(15000));
        QCOMPARE(marks(), 8);
    }

    // The client's watch of a pipe prints a line a second and ends by itself,
    // with 0, once nothing waits or runs. Each file of a walk is counted
    // once, by its outcome, and the walk says so; so is each file that
    // failed (named in the status too), and a volume not mounted yet (its
    // job is done). A cancel removes a waiting job at once and stops the
    // running one, and says which.
    void statusAndCancel()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("memorylimit"), 16);
        const QString src = s.pictures(QStringLiteral("src"), 1), thumbs = s.path(QStringLiteral("thumbs"));
        const QString missing = s.path(QStringLiteral("not-mounted"));
        QVERIFY(writeFile(src + "/broken.jpg", "\xFF\xD8\xFF\xE0 not a picture") && writeFile(src + "/notes.txt", "words")
                && QFile::copy(QFINDTESTDATA("../../data/header-only-12000.png"), src + "/huge.png"));
        QVERIFY(s.prefill({compactItem({}, QStringLiteral("sleep 1")),   // the watch sees every job come and go
                           compactItem({QStringLiteral("snapvault"), missing, thumbs}, QString()),
                           compactItem({QStringLiteral("pellowcloud"), src, thumbs}, QString())}));
        QVERIFY(s.listen({QStringLiteral("setsid")}));
        QByteArray out;
        QCOMPARE(ctl(s, {"status", "--watch", "--until-idle"}, &out), 0);
        QVERIFY2(out.trimmed().split('\n').last().contains("jobs 3/3 done, 0 waiting, 0 running; files 4 done"), out);
        const QJsonObject status = s.call(cmd("thumbgen_status")).value(QStringLiteral("results")).toObject();
        QCOMPARE(status.value(QStringLiteral("written")).toObject().value(QStringLiteral("image")).toInt(), 1);
        const QJsonObject skipped = status.value(QStringLiteral("skipped")).toObject();
        for (const char *reason : {"decode", "notmedia", "memorycap"})
            QVERIFY2(skipped.value(QLatin1String(reason)).toInt() == 1, reason);
        for (const QByteArray &line : {QFile::encodeName(src) + ": 4 files: 1 written, 0 up to date, 3 skipped",
                                       "no thumbnail for " + QFile::encodeName(src) + "/broken.jpg: cannot be decoded",
                                       "snapvault job over a missing source: " + QFile::encodeName(missing)})
            QVERIFY2(QTest::qWaitFor([&] { return s.output().contains(line); }, 5000), s.output().constData());
        QStringList missed;
        for (const QJsonValue &v : status.value(QStringLiteral("missed")).toArray())
            missed << QFileInfo(v.toObject().value("file").toString()).fileName() + ": " + v.toObject().value("reason").toString();
        missed.sort();
        QCOMPARE(missed, QStringList({"broken.jpg: cannot be decoded", "huge.png: over the memory limit"}));
        QCOMPARE(ctl(s, {"status"}, &out), 0);
        QVERIFY2(out.contains("/broken.jpg: cannot be decoded"), out);

        for (int i = 0; i < 2; ++i)
            s.call(cmd("thumbgen_insert", {{"command", "sleep 30"}}));
        QVERIFY(QTest::qWaitFor([&] { return s.call(cmd("thumbgen_status")).value("results").toObject().value("running").toArray().size() == 1; }, 5000));
        // The running command, started by a worker thread, has the workers' niceness.
        QList<pid_t> children;
        QVERIFY(QTest::qWaitFor([&] {
            children = sessionMembers(s.process().processId());
            children.removeAll(pid_t(s.process().processId()));
            children.erase(std::remove_if(children.begin(), children.end(), [](pid_t pid) {
                return readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("k8thumbgen-render");
            }), children.end());
            return children.size() == 1;
        }, 5000));
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(children.first()));
        QCOMPARE(stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(16).toInt(), 10);
        const QJsonArray jobs = s.call(cmd("thumbgen_jobs")).value(QStringLiteral("results")).toObject().value(QStringLiteral("jobs")).toArray();
        QCOMPARE(jobs.size(), 2);
        for (const QJsonValue &job : jobs)
            QCOMPARE(s.call(cmd("thumbgen_cancel", {{"quuno", job.toObject().value("quuno")}})).value(QStringLiteral("err")).toInt(-1), 0);
        QVERIFY(s.drained(5000));
        for (const char *line : {"cancelled: removed while waiting", "cancelled: stopping at its next file"})
            QVERIFY2(QTest::qWaitFor([&] { return s.output().contains(line); }, 5000), s.output().constData());
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // A file that crashes a decoder takes the service down twice at most:
    // the walk cut off keeps its row, then the file is skipped, the job
    // finishes, and a changed file is tried again. A name that is not UTF-8
    // is held alike, and the links it was rendered through that the crashes
    // left behind are gone after the next start. (A walk killed any other
    // way is cut off alike; that the walk redone writes nothing twice is
    // tst_layoutwalk's.)
    void poisonFileQuarantined_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("UTF-8 name") << QByteArray("p0002.png");
        QTest::newRow("Latin-1 name") << QByteArray("caf\xe9.png");
    }

    void poisonFileQuarantined()
    {
        QFETCH(QByteArray, name);
        ServiceFixture s;
        s.binary = QStringLiteral(K8_CRASHING_BINARY);
        const QString src = s.pictures(QStringLiteral("src"), 6), thumbs = s.path(QStringLiteral("thumbs"));
        const QByteArray poison = QFile::encodeName(src) + '/' + name;
        QVERIFY(::rename(QFile::encodeName(src + QStringLiteral("/p0002.png")).constData(), poison.constData()) == 0);
        const auto unlinkPoison = qScopeGuard([&] { ::unlink(poison.constData()); });   // QDir cannot name it
        const QString tmp = s.folder(QStringLiteral("tmp"));   // QDir::tempPath() is $TMPDIR
        const auto aliases = [&] { return QDir(tmp).entryList({".k8thumbgen-alias-*"}, QDir::Dirs | QDir::Hidden).size(); };
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("K8_CRASH_ON"), QString::fromLatin1(name.toPercentEncoding()));
        env.insert(QStringLiteral("TMPDIR"), tmp);
        s.process().setProcessEnvironment(env);
        const QString job = compactItem({QStringLiteral("pellowcloud"), src, thumbs}, QString());
        QVERIFY(s.prefill({job}));
        for (int crash = 0; crash < 2; ++crash) {
            QVERIFY(s.start());
            QCOMPARE(s.waitExit(20000), -1);
            QCOMPARE(s.process().state(), QProcess::NotRunning);
        }
        QCOMPARE(s.rows().size(), 1);
        QCOMPARE(aliases(), FileAlias::isValidName(name) ? 0 : 1);   // the second crash's; the first's went at its start
        QVERIFY(s.listen());
        QVERIFY(s.drained(20000));
        QCOMPARE(aliases(), 0);
        QCOMPARE(QDir(thumbs).entryList(QDir::Files).size(), 5);
        QJsonObject status = s.call(cmd("thumbgen_status")).value(QStringLiteral("results")).toObject();
        QCOMPARE(status.value(QStringLiteral("quarantined")).toInt(), 1);
        QCOMPARE(status.value(QStringLiteral("skipped")).toObject().value(QStringLiteral("quarantined")).toInt(), 1);
        QVERIFY(s.output().contains("quarantined " + QFile::decodeName(poison).toUtf8()));
        QCOMPARE(s.stop(SIGTERM), 0);

        s.binary = QStringLiteral(K8_BINARY);
        QVERIFY(::utime(poison.constData(), nullptr) == 0);   // changed
        QVERIFY(s.prefill({job}) && s.listen() && s.drained(20000));
        QCOMPARE(QDir(thumbs).entryList(QDir::Files).size(), 6);
        status = s.call(cmd("thumbgen_status")).value(QStringLiteral("results")).toObject();
        QCOMPARE(status.value(QStringLiteral("quarantined")).toInt(), 0);
    }

    // Pictures are decoded in render helpers: an SVG with text (which takes
    // down a process without fonts) renders, and a helper killed while it
    // works on a file costs that file alone: quarantined at once, the
    // folder's other pictures written, the job done, the service the same.
    void decoderDeathCostsOneFile()
    {
        ServiceFixture s;
        const QString src = s.folder(QStringLiteral("src")), thumbs = s.path(QStringLiteral("thumbs"));
        QByteArray slow = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4000\" height=\"4000\">";
        for (int i = 0; i < 100000; ++i)
            slow += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"#%4\" opacity=\"0.5\"/>")
                        .arg(i * 37 % 4000).arg(i * 91 % 4000).arg(200 + i % 300).arg(i * 2654435761u % 0xffffff, 6, 16, QLatin1Char('0')).toUtf8();
        slow += "</svg>";
        QVERIFY(writeFile(src + "/text.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"40\">"
                                               "<text x=\"5\" y=\"30\" font-size=\"30\">Hi</text></svg>")
                && writeFile(src + "/slow.svg", slow)
                && QFile::copy(QFINDTESTDATA("../../data/patches-displayp3.jpg"), src + "/photo.jpg")
                && QFile::copy(QFINDTESTDATA("../../data/patches-displayp3.heic"), src + "/photo.heic"));
        QVERIFY(s.listen());
        const qint64 service = s.process().processId();
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"pellowcloud", src, thumbs}}}));
        const auto renderingSlow = [&] {
            const QJsonArray running = s.call(cmd("thumbgen_status")).value("results").toObject().value("running").toArray();
            return running.size() == 1 && running.first().toObject().value("file").toString().endsWith("slow.svg");
        };
        // Killed each time it works on the file: a helper that had decoded
        // other files first tries it once more in a fresh one.
        QSet<int> killed;
        const auto liveHelper = [&] {
            for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                const QByteArray stat = readFile("/proc/" + pid + "/stat");
                if (killed.contains(pid.toInt()) || !readFile("/proc/" + pid + "/cmdline").contains("k8thumbgen-render")
                    || stat.mid(stat.lastIndexOf(')') + 4).split(' ').value(0).toLongLong() != service)
                    continue;
                // Locked in, so past its start: at work on the file.
                if (readFile("/proc/" + pid + "/status").contains("Seccomp:\t2"))
                    return pid.toInt();
            }
            return 0;
        };
        while (QTest::qWaitFor([&] { return (renderingSlow() && liveHelper()) || s.rows().isEmpty(); }, 20000)
               && !s.rows().isEmpty()) {
            const int helper = liveHelper();
            QVERIFY(::kill(helper, SIGKILL) == 0);
            killed.insert(helper);
        }
        QVERIFY(killed.size() >= 1 && killed.size() <= 2);
        QVERIFY(s.drained(30000));
        QCOMPARE(s.process().processId(), service);
        // text.svg among them: that its text is drawn is tst_renderhelper's.
        QCOMPARE(QDir(thumbs).entryList(QDir::Files).size(), 3);
        QVERIFY(!QImage(thumbs + '/' + md5hex(src + "/text.svg") + ".jpg").isNull());
        const QJsonObject status = s.call(cmd("thumbgen_status")).value("results").toObject();
        QCOMPARE(status.value("quarantined").toInt(), 1);
        QCOMPARE(status.value("skipped").toObject().value("helperdied").toInt(), 1);
        QVERIFY(QTest::qWaitFor([&] { return s.output().contains("the render helper died on " + QFile::encodeName(src) + "/slow.svg (signal 9"); }, 5000));
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // Jobs acknowledged after the database, its log or its lock file was
    // deleted are found at the next start, under numbers never handed out
    // before; a foreign file there gets 9999 and stays as it is. One
    // database has one service whatever is deleted: a second one is refused,
    // and a service that finds another at its database stops.
    void databaseReplacedWhileRunning_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("deleted") << QStringLiteral("deleted");
        QTest::newRow("replaced by a foreign file") << QStringLiteral("foreign");
        QTest::newRow("write-ahead log deleted") << QStringLiteral("wal");
        QTest::newRow("lock file deleted") << QStringLiteral("lock");
        QTest::newRow("taken by another service") << QStringLiteral("taken");
    }

    void databaseReplacedWhileRunning()
    {
        QFETCH(QString, fault);
        const bool foreign = fault == QLatin1String("foreign");
        ServiceFixture s;
        const QString started = s.path(QStringLiteral("started"));
        QVERIFY(s.prefill({compactItem({}, QStringLiteral("true")),
                           compactItem({started}, QStringLiteral("sh -c \"touch ${PARAM1}; exec sleep 30\""))}, 3));
        QVERIFY(s.start());
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(started) && s.rows().size() == 1; }, 10000));
        ServiceFixture second;
        second.config() = s.config();
        second.config().insert(QStringLiteral("lpcid"), second.socketPath());
        if (fault == QLatin1String("wal") || fault == QLatin1String("lock")) {
            QVERIFY(QFile::remove(s.dbPath() + (fault == QLatin1String("wal") ? "-wal" : ".lock")));
        } else {
            QVERIFY(QDir(s.path(QStringLiteral("db"))).removeRecursively());   // the lock file too
            QVERIFY(QDir().mkpath(s.path(QStringLiteral("db"))));
        }
        if (foreign)
            QVERIFY(writeFile(s.dbPath(), "not a database"));
        if (fault == QLatin1String("taken")) {
            QVERIFY(second.listen());
            QCOMPARE(s.call(cmd("thumbgen_insert", {{"command", "sleep 1"}})).value("err").toInt(-1), 9999);
            QCOMPARE(s.waitExit(5000), 1);
            QVERIFY2(s.output().contains("another service took over"), s.output());
            QCOMPARE(second.call(cmd("thumbgen_insert", {{"command", "true"}})).value("err").toInt(-1), 0);
            return;
        }
        if (fault == QLatin1String("lock")) {   // the database file's own lock refuses it
            QVERIFY(second.start());
            QCOMPARE(second.waitExit(), 1);
        }
        for (int i = 0; i < 3; ++i)
            QCOMPARE(s.call(cmd("thumbgen_insert", {{"command", "sleep 1"}})).value("err").toInt(-1), foreign ? 9999 : 0);
        QVERIFY(second.start());   // the lock was taken again with the new database
        QCOMPARE(second.waitExit(), 1);
        QCOMPARE(s.stop(SIGKILL), 128 + SIGKILL);
        if (foreign) {
            QCOMPARE(readFile(s.dbPath()), QByteArray("not a database"));
            QVERIFY2(s.output().contains("is not a queue database"), s.output());
            return;
        }
        const QList<QJsonObject> rows = s.rows();
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows.at(0).value("quuno").toInt(), 2);   // the running job, under its own number
        for (int i = 1; i < 4; ++i)
            QCOMPARE(rows.at(i).value("quuno").toInt(), 2 + i);
        QCOMPARE(s.rows(QStringLiteral("syscfg_dbversion")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
