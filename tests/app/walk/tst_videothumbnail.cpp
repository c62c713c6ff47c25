#include "videothumbnail.h"

#include "mediafixture.h"
#include "memorybudget.h"

#include <memory>

class TestVideoThumbnail : public QObject, MediaCase
{
    Q_OBJECT
    bool render(const QString &source, const QString &target, int w = 200, int h = 200) const
    {
        return videoThumbnail(source, target, w, h) == RenderResult::Rendered;
    }

private slots:
    void init() { QVERIFY(fresh() && writeFile(at("v.mp4"), "x")); }

    // The fake records its arguments, one a line, and writes a small GIF.
    void ffmpegArguments()
    {
        const QString src = at("my \"clip\" 1.mp4"), target = at("new/sub/v.gif");
        QVERIFY(d->fakeFfmpeg("printf '%s\\n' \"$@\" > '" + at("args.txt").toUtf8() + "'\nprintf 'GIF89a'\n") && writeFile(src, "x"));
        QVERIFY(render(src, target, 160, 120));
        const QStringList args = QString::fromUtf8(readFile(at("args.txt"))).split('\n');
        // Output goes to a file the service opened itself, never by name.
        QCOMPARE(args.mid(args.size() - 2), QStringList({"pipe:1", ""}));
        QVERIFY(args.join('\n').contains("\n-i\n" + src + "\n-s\n160x120\n"));
        QCOMPARE(args.value(args.indexOf("-protocol_whitelist") + 1), QStringLiteral("file"));
        QCOMPARE(entries(at("new/sub")), QStringList({"v.gif"}));
        QCOMPARE(QFileInfo(target).permissions() & QFile::ReadOther, QFile::ReadOther);
    }

    void ffmpegFailures_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<bool>("busy");   // remembered as a busy time-out
        QTest::newRow("hangs") << QByteArray("exec sleep 60\n") << 500 << 30000 << false;
        QTest::newRow("half a file, then fails") << QByteArray("printf 'GIF89a\\001'\nexit 1\n") << 500 << 30000 << false;
        QTest::newRow("exits 0, writes nothing") << QByteArray("exit 0\n") << 500 << 30000 << false;
        QTest::newRow("crashes") << QByteArray("printf 'GIF89a'\nkill -SEGV $$\n") << 500 << 30000 << false;
        QTest::newRow("program missing") << QByteArray() << 500 << 30000 << false;
        // Ended long before the time limit: its user stopped it, or it does no work.
        QTest::newRow("stopped by its user") << QByteArray("kill -STOP $$\n") << 60000 << 60000 << true;
        QTest::newRow("no CPU for the stretch") << QByteArray("exec sleep 60\n") << 60000 << 300 << true;
    }

    // No thumbnail within the (shortened) limits, and nothing left in its folder.
    void ffmpegFailures()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, timeoutMs);
        QFETCH(int, idleMs);
        QFETCH(bool, busy);
        QVERIFY(d->fakeFfmpeg(script));
        MediaDir::tune([&](RenderSettings &r) {
            r.videoTimeoutMs = timeoutMs;
            r.videoIdleMs = idleMs;
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!render(at("v.mp4"), at("thumbs/v.gif")));
        QVERIFY2(clock.elapsed() < 10000, "the time limit applies");
        QVERIFY(!busy || lastTimeoutWasBusy());
        QCOMPARE(entries(at("thumbs")), QStringList());
    }

    void ffmpegStop()
    {
        QVERIFY(d->fakeFfmpeg("touch '" + at("started").toUtf8() + "'\nexec sleep 60\n"));
        bool result = true;
        const qint64 ms = stopWhileRunning([&] { return render(at("v.mp4"), at("thumbs/v.gif")); },
                                           [&] { return QFileInfo::exists(at("started")); }, result);
        QVERIFY2(ms >= 0 && ms < 3000, qPrintable(QString::number(ms)));
        QVERIFY(!result);
        QCOMPARE(entries(at("thumbs")), QStringList());
    }

    // ffmpeg takes a quarter of the memory budget, so it waits while
    // pictures hold more than the rest, and its data limit is that share
    // plus its own base.
    void ffmpegWithinBudget()
    {
        QVERIFY(d->fakeFfmpeg("ulimit -d > '" + at("limit").toUtf8() + "'\nprintf 'GIF89a'\n"));
        MediaDir::tune([](RenderSettings &r) { r.memoryCap = qint64(32) << 20; });
        std::unique_ptr<MemoryReservation> picture(new MemoryReservation((qint64(32) << 20) * 3 / 4 + 1));
        bool rendered = false;
        QScopedPointer<QThread> worker(QThread::create([&] { rendered = render(at("v.mp4"), at("v.gif")); }));
        worker->start();
        QVERIFY(QTest::qWaitFor([] { return MemoryReservation::waiting() == 1; }, 5000));
        QVERIFY(!QFileInfo::exists(at("limit")));
        picture.reset();
        QVERIFY(worker->wait(10000) && rendered);
        QCOMPARE(readFile(at("limit")).trimmed().toLongLong(), (8 + 128) * 1024);
        QCOMPARE(MemoryReservation::inUse(), 0);
    }

    // The written call fills the box; "videofit": "aspect" keeps a 4:3 clip 4:3.
    void videoFit()
    {
        if (!haveTool("ffmpeg")) QSKIP("ffmpeg not installed");
        const QString clip = makeVideo(at("c.mp4"));
        QVERIFY(!clip.isEmpty() && render(clip, at("fill.gif")));
        QCOMPARE(QImageReader(at("fill.gif")).size(), QSize(200, 200));
        MediaDir::tune([](RenderSettings &r) { r.videoKeepsAspect = true; });
        QVERIFY(render(clip, at("aspect.gif")));
        QCOMPARE(QImageReader(at("aspect.gif")).size(), QSize(200, 150));
    }

    // A five-line HLS playlist named .avi pointing at a video in another folder
    // must not turn that video into a thumbnail; the video itself renders.
    void playlistNamedAviRefused()
    {
        if (!haveTool("ffmpeg")) QSKIP("ffmpeg not installed");
        const QString ts = makeVideo(d->mkdir("private") + "/secret.ts", "mpegts", 3), avi = d->mkdir("upload") + "/clip.avi";
        QVERIFY(!ts.isEmpty() && render(ts, at("secret.gif")));
        QImageReader gif(at("secret.gif"));
        QVERIFY(gif.format() == "gif" && gif.imageCount() > 1);
        QVERIFY(writeFile(avi, "#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:3,\n" + ts.toUtf8() + "\n#EXT-X-ENDLIST\n"));
        // The playlist is a working attack on the bare argument list.
        runTool("ffmpeg", {"-v", "quiet", "-y", "-i", avi, "-t", "1", "-f", "gif", at("leaked.gif")});
        QVERIFY2(QFileInfo(at("leaked.gif")).size() > 0, "fixture no longer reaches the private file");
        QVERIFY(!render(avi, at("thumbs/v.gif")));
        QCOMPARE(entries(at("thumbs")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestVideoThumbnail)
#include "tst_videothumbnail.moc"
