#include "layoutwalk.h"

#include "br2utils.h"
#include "fileidentitystore.h"
#include "imagethumbnail.h"
#include "mediafixture.h"
#include "mediakind.h"
#include "peeraccess.h"
#include "picturethumbnail.h"
#include "thumbnailfile.h"
#include "walktally.h"

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString cloudName(const QString &source, const char *suffix) { return md5hex(QFileInfo(source).absoluteFilePath()) + suffix; }

void setMtime(const QString &path, qint64 secsFromNow)
{
    struct timespec ts[2];
    ::clock_gettime(CLOCK_REALTIME, &ts[0]);
    ts[0].tv_sec += secsFromNow;
    ts[1] = ts[0];
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), ts, AT_SYMLINK_NOFOLLOW);
}

qint64 mtimeNs(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) ? -1 : qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

class TestLayoutWalk : public QObject, MediaCase
{
    Q_OBJECT
    // The folder "src" holding one solid 300x300 JPEG of this name.
    QString photoFolder(const QString &name = "p.jpg", QRgb colour = GREEN) const
    {
        return picture(300, 300, colour).save(d->mkdir("src") + '/' + name, "jpeg") ? at("src") : QString();
    }
    bool cloud() const { return pellowcloudWalk(at("src"), at("cloud"), 200, 200); }
    bool vault() const { return snapvaultWalk(at("src"), at("vault"), 200, 200); }

private slots:
    void init() { QVERIFY(fresh()); }

    void cloudStaleness()
    {
        const QString photo = photoFolder("p.jpg", RED) + "/p.jpg", thumb = at("cloud/" + cloudName(photo, ".jpg"));
        QVERIFY(cloud());
        QCOMPARE(colourMismatch(QImage(thumb), {{{0.1, 0.1}, RED}}), QString());
        // Edited after its thumbnail was made: rendered again, over the old one.
        setMtime(thumb, -3600);
        QVERIFY(picture(400, 300, BLUE).save(photo, "jpeg") && cloud());
        QCOMPARE(colourMismatch(QImage(thumb), {{{0.1, 0.1}, BLUE}}), QString());
        QCOMPARE(entries(at("cloud")).size(), 1);
        // Unchanged: not rendered again. Dated in the future: rendered once
        // (its change time is new), then no more.
        qint64 t = mtimeNs(thumb);
        QVERIFY(cloud());
        QCOMPARE(mtimeNs(thumb), t);
        setMtime(photo, 86400);
        QVERIFY(cloud());
        t = mtimeNs(thumb);
        QVERIFY(cloud());
        QCOMPARE(mtimeNs(thumb), t);
        // Put back with an older modification time (cp -p, a restore) and no
        // record to vouch for the thumbnail: its new change time renders it.
        const QString older = at("older.jpg");
        QVERIFY(picture(300, 300, GREEN).save(older, "jpeg"));
        setMtime(older, -7200);
        QCOMPARE(QProcess::execute("cp", {"-p", older, photo}), 0);
        QVERIFY(cloud());
        QCOMPARE(colourMismatch(QImage(thumb), {{{0.1, 0.1}, GREEN}}), QString());
        // A folder at the target name counts as present, however old.
        QVERIFY(QFile::remove(thumb) && QDir().mkdir(thumb));
        setMtime(photo, -7200);
        setMtime(thumb, -86400);
        QVERIFY(cloud() && QFileInfo(thumb).isDir());
    }

    // An empty file at a thumbnail's name is what a power loss leaves after
    // the rename: both layouts render over it. Identical photos share one
    // snapvault thumbnail.
    void emptyThumbnailRepaired_data()
    {
        QTest::addColumn<bool>("isCloud");
        QTest::newRow("pellowcloud") << true;
        QTest::newRow("snapvault") << false;
    }
    void emptyThumbnailRepaired()
    {
        QFETCH(bool, isCloud);
        const QString src = photoFolder("a.jpg"), thumbs = at(isCloud ? "cloud" : "vault");
        QVERIFY(QFile::copy(src + "/a.jpg", src + "/b.jpg") && (isCloud ? cloud() : vault()));
        QCOMPARE(entries(thumbs).size(), isCloud ? 2 : 1);
        const QString thumb = thumbs + '/' + entries(thumbs).value(0);
        QVERIFY(writeFile(thumb, QByteArray()) && (isCloud ? cloud() : vault()));
        QCOMPARE(QImageReader(thumb).size(), QSize(200, 200));
    }

    // 400 files take 20 s of pauses; a stop cuts the walk short (both
    // layouts walk a folder through the same loop).
    void stopDuringWalk()
    {
        const QString src = d->mkdir("src");
        for (int i = 0; i < 400; ++i)
            QVERIFY(writeFile(src + QStringLiteral("/n%1.txt").arg(i), "x"));
        QElapsedTimer walking;
        walking.start();
        bool result = true;
        const qint64 ms = stopWhileRunning([&] { return cloud(); }, [&] { return walking.elapsed() >= 120; }, result);
        QVERIFY2(ms >= 0 && ms < 5000 && !result, qPrintable(QString::number(ms)));
    }

    // No thumbnail is ever written under the bare suffix ".jpg".
    void unreadableSkipped()
    {
        // A missing path is handed on unchanged and has no content hash.
        QVERIFY(snapvaultWalk(at("gone.jpg"), at("vault"), 200, 200));
        QVERIFY(!QFileInfo::exists(at("vault")));
        QVERIFY(QFile::setPermissions(photoFolder("locked.jpg") + "/locked.jpg", QFileDevice::Permissions()));
        // Root ignores file modes: the walk acts as a stranger, who may
        // make the thumbnail folder but not read the picture.
        QVERIFY(::chmod(QFile::encodeName(d->path()).constData(), 0777) == 0);
        const FsIdentity as(BR2PeerCredentials{true, -1, 65534, 65534, {}});
        QVERIFY(as.active() || ::geteuid() != 0);
        QVERIFY(vault());
        QCOMPARE(entries(at("vault")), QStringList());
    }

    // A root walk follows a link someone planted only where the link's
    // owner could read the target itself.
    void linkFollowedWhereOwnerReads_data()
    {
        QTest::addColumn<uint>("linkOwner");
        QTest::addColumn<uint>("targetOwner");
        QTest::addColumn<int>("targetMode");
        QTest::addColumn<bool>("followed");
        QTest::newRow("planted link to a root-only picture") << 4242u << 0u << 0600 << false;
        QTest::newRow("to a picture its owner may read") << 4242u << 0u << 0644 << true;
        QTest::newRow("owned by root") << 0u << 0u << 0600 << true;
        QTest::newRow("owned by the target's owner") << 4242u << 4242u << 0600 << true;
    }
    void linkFollowedWhereOwnerReads()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to own files as others");
        QFETCH(uint, linkOwner);
        QFETCH(uint, targetOwner);
        QFETCH(int, targetMode);
        QFETCH(bool, followed);
        QVERIFY(::chmod(QFile::encodeName(d->path()).constData(), 0755) == 0);
        const QString target = d->mkdir("priv") + "/secret.jpg", link = d->mkdir("src") + "/holiday.jpg";
        QVERIFY(picture(300, 300, RED).save(target, "jpeg"));
        QVERIFY(::chown(QFile::encodeName(target).constData(), targetOwner, targetOwner) == 0
                && ::chmod(QFile::encodeName(target).constData(), mode_t(targetMode)) == 0);
        QVERIFY(QFile::link(target, link) && ::lchown(QFile::encodeName(link).constData(), linkOwner, linkOwner) == 0);
        const qint64 links = WalkTally::totals().value("skipped").toObject().value("link").toInt();
        QVERIFY(cloud() && vault());
        QCOMPARE(entries(at("cloud")).size(), followed ? 1 : 0);
        QCOMPARE(entries(at("vault")).size(), followed ? 1 : 0);
        QCOMPARE(WalkTally::totals().value("skipped").toObject().value("link").toInt(), links + (followed ? 0 : 2));
    }

    // What a root walk learnt of a file does not tell a stranger who may not
    // read it whether a thumbnail named after a guessed MD5 is current.
    void recordsReusedOnlyForReaders()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as a stranger");
        QVERIFY(FileIdentityStore::open(at("queue.db"), 0));
        QVERIFY(::chmod(QFile::encodeName(d->path()).constData(), 0755) == 0);
        const QString photo = photoFolder() + "/p.jpg";
        QVERIFY(::chmod(QFile::encodeName(photo).constData(), 0600) == 0);
        QVERIFY(vault());
        const QStringList made = entries(at("vault"));
        QCOMPARE(made.size(), 1);
        const QString guess = d->mkdir("mine") + '/' + made.first();
        QVERIFY(writeFile(guess, "guess") && ::chown(QFile::encodeName(at("mine")).constData(), 65534, 65534) == 0);
        const qint64 upToDate = WalkTally::totals().value("uptodate").toInt();
        {
            const FsIdentity as(BR2PeerCredentials{true, -1, 65534, 65534, {}});
            QVERIFY(as.active());
            QVERIFY(snapvaultWalk(at("src"), at("mine"), 200, 200));
        }
        FileIdentityStore::close();
        QCOMPARE(WalkTally::totals().value("uptodate").toInt(), upToDate);
    }

    void danglingLinkNotFollowed()
    {
        const QString photo = photoFolder() + "/p.jpg", thumb = d->mkdir("cloud") + '/' + cloudName(photo, ".jpg");
        QVERIFY(QFile::link(at("elsewhere.jpg"), thumb) && cloud());
        QVERIFY(!QFileInfo::exists(at("elsewhere.jpg")) && QFileInfo(thumb).isSymLink());
        // A renderer told to write there replaces the link itself.
        QCOMPARE(imageThumbnail(photo, thumb, 200, 200), RenderResult::Rendered);
        QVERIFY(!QFileInfo::exists(at("elsewhere.jpg")) && !QFileInfo(thumb).isSymLink());
    }

    // A Latin-1 name, not UTF-8: walked by its bytes, named after the MD5 of
    // the raw path in the cloud layout.
    void nameNotUtf8()
    {
        const QByteArray raw = QFile::encodeName(d->mkdir("src")) + "/caf\xe9.jpg";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT, 0644);
        const QByteArray bytes = jpegBytes(picture(64, 48, GREEN));
        QVERIFY(fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && ::close(fd) == 0);
        QVERIFY(cloud() && vault());
        QCOMPARE(entries(at("cloud")), QStringList{QString::fromLatin1(md5hex(raw)) + ".jpg"});
        QCOMPARE(entries(at("vault")).size(), 1);
        QVERIFY(::unlink(raw.constData()) == 0);      // QTemporaryDir cannot name it
    }

    // A FIFO where a picture was (swapped in after the walk's check) is
    // skipped at once: neither the type lookup nor the render waits for a
    // writer that never comes.
    void fifoNeverBlocks()
    {
        const QString fifo = d->mkdir("src") + "/f.jpg";
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        std::atomic<int> result{-1};
        std::unique_ptr<QThread> t(QThread::create([&] {
            mediaKindOf(fifo);
            result = int(pictureThumbnail(MediaImage, fifo, at("t.jpg"), 200, 200));
        }));
        t->start();
        const bool ended = t->wait(5000);
        if (!ended) {   // let it go before failing
            ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
            t->wait();
        }
        QVERIFY(ended);
        QCOMPARE(result.load(), int(RenderResult::DecodeFailed));
    }

    // Temporary files older than the process go (they used to stay for an
    // hour); those of this process and other dot-files stay.
    void leftoversRemoved()
    {
        const QString cloud = d->mkdir("cloud") + '/', old = temporaryPrefix() + "aaaaaa", fresh = temporaryPrefix() + "bbbbbb";
        for (const QString &name : {old, fresh, QStringLiteral(".keepme")})
            QVERIFY(writeFile(cloud + name, "GIF8"));
        setMtime(cloud + old, -600);
        setMtime(cloud + fresh, 60);
        setMtime(cloud + ".keepme", -2 * 3600);
        QVERIFY(pellowcloudWalk(d->mkdir("src"), cloud, 200, 200));
        QCOMPARE(entries(cloud), QStringList({fresh, ".keepme"}));
    }

    // A folder that is its own thumbnail folder: the thumbnails (JPEG and
    // GIF) are never thumbnailed in turn, however often it is walked; hidden
    // files, subfolders and other files are not thumbnailed either.
    void ownThumbnailsNotWalked()
    {
        const QString src = photoFolder();
        QVERIFY(d->fakeFfmpeg("printf 'GIF89a'\n") && writeFile(src + "/clip.mp4", "x") && writeFile(src + "/notes.txt", "x"));
        QVERIFY(QFile::copy(src + "/p.jpg", src + "/.hidden.jpg") && QFile::copy(src + "/p.jpg", d->mkdir("src/sub") + "/p.jpg"));
        for (int walk = 0; walk < 3; ++walk)
            QVERIFY(pellowcloudWalk(src, src + "/.", 200, 200) && snapvaultWalk(src, src, 200, 200));
        QCOMPARE(entries(src).size(), 5 + 4);
        QVERIFY(entries(src).contains(cloudName(src + "/clip.mp4", ".gif")));
        // Given one file, the photo layout renders it; the cloud layout does nothing.
        QVERIFY(snapvaultWalk(src + "/p.jpg", at("vault"), 200, 200) && pellowcloudWalk(src + "/p.jpg", at("cloud"), 200, 200));
        QVERIFY(entries(at("vault")).size() == 1 && !QFileInfo::exists(at("cloud")));
    }
};

QTEST_GUILESS_MAIN(TestLayoutWalk)
#include "tst_layoutwalk.moc"
