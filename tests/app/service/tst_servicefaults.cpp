#include "mediafixture.h"
#include "servicefixture.h"
#include "testthreads.h"
#include "brlib/brlibfixture.h"

#include <fcntl.h>
#include <memory>

// The real binary killed, loaded and stopped under load: nothing queued is
// lost, nothing is left half-written. Slow: label "slow".
class TestServiceFaults : public QObject
{
    Q_OBJECT
    // Processes with this word among their arguments (after the program).
    static int running(const QByteArray &word)
    {
        int n = 0;
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
            n += readFile("/proc/" + pid + "/cmdline").contains('\0' + word + '\0');
        return n;
    }

    // A picture of its own colour, as JPEG bytes.
    static QByteArray jpeg(int hue, int w = 320, int h = 240) { return jpegBytes(picture(w, h, QColor::fromHsv(hue, 200, 200).rgb())); }
    static bool writeRaw(const QByteArray &path, const QByteArray &bytes)
    {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const bool ok = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
        return ::close(fd) == 0 && ok;
    }

private slots:
    void initTestCase() { Q_INIT_RESOURCE(k8thumbgen); }

    // Broken, lying and strange files, walked in both layouts: the service
    // stays up within its memory, the good files get thumbnails, the walks end.
    void hostileMedia()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("memorylimit"), 64);
        const QByteArray src = QFile::encodeName(s.folder(QStringLiteral("src")));
        const QByteArray good = jpeg(10);
        QByteArray flipped = jpeg(20, 1600, 1200), claims = jpeg(30);
        for (int i = flipped.size() / 3; i < flipped.size() - 2; i += 97)
            flipped[i] = char(flipped[i] ^ 0x5a);
        claims.replace(claims.indexOf("\xFF\xC0") + 5, 4, QByteArray("\xFD\xE8\xFD\xE8", 4));   // 65000 x 65000
        QVERIFY(writeRaw(src + "/good.jpg", good) && writeRaw(src + "/cut.jpg", jpeg(40).left(700))
                && writeRaw(src + "/flipped.jpg", flipped) && writeRaw(src + "/claims.jpg", claims)
                && writeRaw(src + "/empty.jpg", QByteArray()) && writeRaw(src + "/new\nline \"quoted\".jpg", jpeg(50))
                && writeRaw(src + "/caf\xe9.jpg", jpeg(60)) && writeRaw(src + "/huge.png", readFile(QFINDTESTDATA("../../data/header-only-12000.png"))));
        QVERIFY(::mkfifo(src + "/fifo.jpg", 0644) == 0 && ::mkdir(src + "/folder.jpg", 0755) == 0
                && ::symlink("loop.jpg", src + "/loop.jpg") == 0);
        QVERIFY(s.listen());
        const qint64 idle = peakKiB(s.process().processId());
        Q_UNUSED(idle)                  // without a sanitizer, the peak is checked below
        for (const char *layout : {"pellowcloud", "snapvault"})
            s.call(cmd("thumbgen_insert", {{"args", QJsonArray{layout, QFile::decodeName(src), s.path(layout)}}}));
        QVERIFY(s.drained(60000));
        QCOMPARE(s.process().state(), QProcess::Running);
        QCOMPARE(QDir(s.path("pellowcloud")).entryList(QDir::Files).size(), 3);
        QCOMPARE(QDir(s.path("snapvault")).entryList(QDir::Files).size(), 3);
#ifndef K8_SANITIZED
        QVERIFY(peakKiB(s.process().processId()) < idle + (64 + 64) * 1024);
#endif
        QVERIFY(::unlink(src + "/caf\xe9.jpg") == 0);        // QTemporaryDir cannot name it
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // A full and a read-only thumbnail folder: the jobs wait for it, their
    // rows kept, and finish by themselves once it takes files again; a GIF
    // that cannot be written counts as a write failure, not ffmpeg's. A
    // missing ffmpeg is said in one line. Nothing is left half-written.
    void resourceFaults()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("folderretry"), 1);
        const QString src = s.pictures(QStringLiteral("src"), 40), full = s.folder(QStringLiteral("full"));
        if (::geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16k", "tmpfs", full}) != 0)
            QSKIP("cannot mount a small tmpfs here");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {full}); });
        // An ffmpeg that writes 64 KiB and fails, as a real one does on a full disk.
        const QString bin = s.folder(QStringLiteral("bin")), video = s.folder(QStringLiteral("vids")) + "/v.mp4";
        QVERIFY(writeFile(bin + "/ffmpeg", "#!/bin/sh\n/usr/bin/head -c 65536 /dev/zero\nexit 1\n")
                && ::chmod(QFile::encodeName(bin + "/ffmpeg").constData(), 0755) == 0 && writeFile(video, QByteArray(4096, 'v')));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), bin);
        s.process().setProcessEnvironment(env);
        QVERIFY(s.listen());
        const auto status = [&] { return s.call(cmd("thumbgen_status")).value("results").toObject(); };
        const auto waitingFor = [&](int jobs) {
            return QTest::qWaitFor([&] { return status().value("postponed").toArray().size() == jobs; }, 20000);
        };
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"pellowcloud", src, full}}}));
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"snapvault", s.path("vids"), full}}}));
        QVERIFY2(waitingFor(2), s.output().constData());
        QVERIFY(QTest::qWaitFor([&] { return s.output().contains("cannot write thumbnails into " + QFile::encodeName(full)); }, 5000));
        const QJsonObject skipped = status().value("skipped").toObject();
        QVERIFY(skipped.value("write").toInt() >= 2);
        QCOMPARE(skipped.value("ffmpeg").toInt(), 0);
        QCOMPARE(s.rows().size(), 2);
        QVERIFY(QProcess::execute("mount", {"-o", "remount,size=16m", full}) == 0);
        QVERIFY2(s.drained(30000), s.output().constData());
        QCOMPARE(QDir(full).entryList({"*.jpg"}, QDir::Files).size(), 40);
        QVERIFY(QTest::qWaitFor([&] { return s.output().contains("ffmpeg failed for " + QFile::encodeName(video)); }, 5000));

        QVERIFY(QProcess::execute("mount", {"-o", "remount,ro", full}) == 0);
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"snapvault", src, full}}}));
        QVERIFY(waitingFor(1));
        QVERIFY(QTest::qWaitFor([&] { return s.output().contains("cannot write thumbnails into " + QFile::encodeName(full) + ": Read-only"); }, 5000));
        QVERIFY(QProcess::execute("mount", {"-o", "remount,rw", full}) == 0);
        QVERIFY2(s.drained(30000), s.output().constData());
        const QStringList made = QDir(full).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(made.size(), 80);
        for (const QString &t : made)
            QVERIFY2(t.endsWith(".jpg") && !QImage(full + '/' + t).isNull(), qPrintable(t));

        QVERIFY(QFile::remove(bin + "/ffmpeg"));
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"snapvault", s.path("vids"), s.path("thumbs")}}}));
        QVERIFY(s.drained(30000));
        QVERIFY(QTest::qWaitFor([&] { return s.output().contains("ffmpeg failed for " + QFile::encodeName(video) + ": cannot start"); }, 5000));
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // A service without its render helper decodes nothing: the job waits,
    // none of its pictures named undecodable, and finishes once the helper
    // is back.
    void helperMissingJobWaits()
    {
        if (QFileInfo::exists(QStringLiteral(K8_HELPER_DIR "/k8thumbgen-render")))
            QSKIP("a render helper is installed where the service looks last");
        ServiceFixture s;
        s.config().insert(QStringLiteral("folderretry"), 1);
        const QString src = s.pictures(QStringLiteral("src"), 3), bin = s.folder(QStringLiteral("bin"));
        const QString built = QFileInfo(s.binary).absolutePath();
        QVERIFY(QFile::copy(s.binary, bin + "/k8thumbgen") && QFile::copy(built + "/k8thumbgen-launch", bin + "/k8thumbgen-launch"));
        s.binary = bin + "/k8thumbgen";
        QVERIFY(s.listen());
        s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"snapvault", src, s.path("thumbs")}}}));
        const auto postponed = [&] { return s.call(cmd("thumbgen_status")).value("results").toObject().value("postponed").toArray(); };
        QVERIFY2(QTest::qWaitFor([&] { return postponed().size() == 1; }, 20000), s.output().constData());
        QVERIFY2(!s.output().contains("cannot be decoded"), s.output().constData());
        QVERIFY(QFile::copy(built + "/k8thumbgen-render", bin + "/k8thumbgen-render"));
        QVERIFY2(s.drained(30000), s.output().constData());
        QCOMPARE(QDir(s.path("thumbs")).entryList({"*.jpg"}, QDir::Files).size(), 3);
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // Layout and command jobs, the service killed 20 times at random: every
    // job ran to its end, every picture has a whole thumbnail, the database
    // is sound, no temporary file is left.
    void killedAtRandom()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("threads"), 2);
        QStringList jobs;
        for (int i = 0; i < 100; ++i) {
            if (i % 5 == 0)
                jobs << compactItem({"pellowcloud", s.pictures(QString("src%1").arg(i), 4), s.path("cloud")}, QString());
            jobs << compactItem({QString::number(i), s.path("ran")}, "sh -c \"echo $0 >> $1\" ${PARAM1} ${PARAM2}");
        }
        QVERIFY(s.prefill(jobs));
        QRandomGenerator random(20261208);
        QByteArray said;
        for (int kill = 0; kill < 20; ++kill) {
            QVERIFY(s.start());
            QTest::qWait(100 + int(random.bounded(400)));      // the random moment is the test's input
            s.stop(SIGKILL);
            said += s.output();
        }
        QVERIFY2(s.listen(), s.output().constData());
        QVERIFY(s.drained(60000));
        QCOMPARE(s.stop(SIGTERM), 0);

        QSet<QByteArray> ran;
        const QList<QByteArray> lines = readFile(s.path("ran")).split('\n');
        for (const QByteArray &line : lines)
            if (!line.isEmpty())
                ran.insert(line);
        QCOMPARE(ran.size(), 100);
        qInfo("%d command runs for 100 jobs (a kill cut the others)", int(lines.size() - 1));
        // Kills are not the pictures' fault: none is quarantined.
        QVERIFY2(readFile(s.dbPath() + ".quarantine").count("\"quarantined\"") == 0, (said + s.output()).constData());
        const QStringList thumbs = QDir(s.path("cloud")).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(thumbs.size(), 80);
        for (const QString &t : thumbs)
            QVERIFY2(!QImage(s.path("cloud/" + t)).isNull(), qPrintable(t));
        QCOMPARE(sqlite(s.dbPath(), "PRAGMA integrity_check"), QByteArray("ok"));
    }

    // Killed 50 times while command jobs start one after another: every
    // next start gets the database, since no child of a killed service
    // holds its lock, and nothing of a killed service runs on (a child
    // forked but not yet exec'd carries the service's command line).
    void killedWhileChildrenStart()
    {
        ServiceFixture s;
        int queued = 0;
        // Kept at 40 jobs or more, so that every kill comes while commands start.
        const auto topUp = [&] {
            QStringList jobs;
            for (const int waiting = s.rows().size(); waiting + jobs.size() < 40; ++queued)
                jobs << (queued % 2 ? compactItem({}, QStringLiteral("true"))
                                    : compactItem({QString::number(queued), s.path("ran")}, "sh -c \"echo $0 >> $1\" ${PARAM1} ${PARAM2}"));
            return jobs.isEmpty() || s.prefill(jobs, 2);
        };
        QSet<QByteArray> killed;
        QRandomGenerator random(20261209);
        for (int kill = 0; kill < 50; ++kill) {
            QVERIFY(topUp());
            QVERIFY2(s.listen(), s.output().constData());
            killed.insert(QByteArray::number(s.process().processId()));
            QTest::qWait(int(random.bounded(150)));      // the random moment is the test's input
            s.stop(SIGKILL);
        }
        QVERIFY2(s.listen(), s.output().constData());
        const QByteArray current = QByteArray::number(s.process().processId());
        // Processes of the killed services: any naming the test's folder, and launchers they started.
        const auto leftovers = [&] {
            QStringList found;
            for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                const QList<QByteArray> args = readFile("/proc/" + pid + "/cmdline").split('\0');
                const int parent = args.indexOf("--parent");
                if (pid.toUtf8() != current
                    && ((parent > 0 && killed.contains(args.value(parent + 1)))
                        || args.join(' ').contains(QFile::encodeName(s.root()))))
                    found << pid + ": " + QString::fromUtf8(args.join(' '));
            }
            return found;
        };
        QVERIFY2(s.drained(20000), s.output().right(3000).constData());
        QVERIFY2(QTest::qWaitFor([&] { return leftovers().isEmpty(); }, 5000), qPrintable(leftovers().join('\n')));
        QCOMPARE(s.stop(SIGTERM), 0);
        const QList<QByteArray> ran = readFile(s.path("ran")).split('\n');
        const int echoes = (queued + 1) / 2;   // the even numbers
        QCOMPARE(QSet<QByteArray>(ran.begin(), ran.end()).size(), echoes + 1);   // and the empty last line
        qInfo("%d echo runs for %d jobs (kills cut the others)", int(ran.size() - 1), echoes);
    }

    // Killed twice while the same video renders: quarantined (its release
    // once it changes is in tst_service's poison test).
    void videoKilledTwiceQuarantined()
    {
        ServiceFixture s;
        const QString bin = s.folder(QStringLiteral("bin")), src = s.folder(QStringLiteral("src"));
        QVERIFY(writeFile(bin + "/ffmpeg", "#!/bin/sh\nexec sleep 31.5\n")
                && ::chmod(QFile::encodeName(bin + "/ffmpeg").constData(), 0755) == 0 && writeFile(src + "/v.mp4", "video"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), bin + ':' + env.value(QStringLiteral("PATH")));
        s.process().setProcessEnvironment(env);
        QVERIFY(s.prefill({compactItem({"pellowcloud", src, s.path("cloud")}, QString())}));
        for (int kill = 0; kill < 2; ++kill) {
            QVERIFY(s.listen());
            QVERIFY(QTest::qWaitFor([&] { return running("31.5") == 1; }, 10000));
            s.stop(SIGKILL);
            QVERIFY(QTest::qWaitFor([&] { return running("31.5") == 0; }, 5000));      // ffmpeg died with it
        }
        QVERIFY(s.listen() && s.drained(10000));
        QCOMPARE(s.call(cmd("thumbgen_status")).value("results").toObject().value("quarantined").toInt(), 1);
        QCOMPARE(s.stop(SIGTERM), 0);
    }

    // 32 clients insert 100 jobs each at once beside 200 idle connections:
    // every insert answered 0, every job done, 3,200 distinct numbers.
    void manyClientsAtOnce()
    {
        ServiceFixture s;
        QVERIFY(s.listen());
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < 200; ++i) {
            idle.push_back(std::make_unique<Client>(s.socketPath()));
            QCOMPARE(idle.back()->state(), QLocalSocket::ConnectedState);
        }
        QAtomicInt refused;
        QVERIFY(runThreads(32, [&](int) {
            for (int i = 0; i < 100; ++i)
                if (s.call(cmd("thumbgen_insert", {{"args", QJsonArray{"none"}}})).value(QStringLiteral("err")).toInt(-1) != 0)
                    refused.ref();
        }));
        QCOMPARE(refused.loadRelaxed(), 0);
        QVERIFY(s.drained(60000));
        idle.clear();
        QCOMPARE(s.stop(SIGTERM), 0);
        QCOMPARE(sqlite(s.dbPath(), "SELECT seq FROM sqlite_sequence WHERE name = 't_queue'"), QByteArray("3200"));
    }

    // SIGTERM, ten times, while a walk and a command run: the process ends
    // within 2 s with 0, its children with it, and no job is lost.
    void terminatedUnderLoad()
    {
        ServiceFixture s;
        s.config().insert(QStringLiteral("threads"), 2);
        const QByteArray sleeper = "29.25";
        QVERIFY(s.prefill({compactItem({}, "sleep " + sleeper),
                           compactItem({"pellowcloud", s.pictures("src", 200), s.path("cloud")}, QString())}));
        for (int round = 0; round < 10; ++round) {
            QVERIFY(s.listen());
            QVERIFY(QTest::qWaitFor([&] { return running(sleeper) == 1; }, 10000));
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(s.stop(SIGTERM, 5000), 0);
            QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(running(sleeper), 0);
            QVERIFY(s.rows().size() >= 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceFaults)
#include "tst_servicefaults.moc"
