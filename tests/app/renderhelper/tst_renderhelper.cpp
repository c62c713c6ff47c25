#include "renderchannel.h"
#include "renderpicture.h"

#include "dngfixture.h"
#include "mediafixture.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using RenderChannel::RenderRequest;

#ifdef K8_SANITIZED
const bool MEASURED = false;        // the sanitizers' own memory would count
#else
const bool MEASURED = true;         // a render's peak memory against its reservation
#endif

// A program of the build started with one end of a new channel as its
// descriptor 3; killed on the way out.
struct Child
{
    pid_t pid = -1;
    int channel = -1;
    int status = -1;

    bool start(const QList<QByteArray> &arguments)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
        QVector<char *> argv;
        for (const QByteArray &a : arguments)
            argv << const_cast<char *>(a.constData());
        argv << nullptr;
        const bool started = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
        channel = pair[0];
        return started;
    }
    ~Child()
    {
        if (channel >= 0)
            ::close(channel);
        if (pid > 0 && status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    bool ended(int ms)
    {
        return QTest::qWaitFor([&] { return status >= 0 || ::waitpid(pid, &status, WNOHANG) != 0; }, ms);
    }
    QByteArray procStatus() const { return readFile(QStringLiteral("/proc/%1/status").arg(pid)); }
};

// A picture of a few bytes with text, which took a core application down
// in Qt's font lookup.
const QByteArray SVG_TEXT("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"40\">"
                          "<text x=\"5\" y=\"30\" font-size=\"30\">Hi</text></svg>");

// Dark pixels of the picture inside r.
int darkPixels(const QImage &img, const QRect &r)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += qGray(img.pixel(x, y)) < 100;
    return n;
}

struct Reply
{
    int result = -1;            // RenderResult, -1: the channel ended
    QImage thumbnail;
    qint64 reserved = 0;        // the largest reservation asked for
};

// 64x48 of one colour: uncompressed 8-bit RGB, one plane a channel after three empty sections.
QByteArray psd(QRgb c)
{
    const int n = 64 * 48;
    return QByteArray::fromHex("38425053 0001 000000000000 0003 00000030 00000040 0008 0003 000000000000000000000000 0000")
        + QByteArray(n, char(qRed(c))) + QByteArray(n, char(qGreen(c))) + QByteArray(n, char(qBlue(c)));
}

// The left half's pixels one RGBE value, the right half's another, scanlines stored flat.
QByteArray radiance(const QSize &size, const QByteArray &left, const QByteArray &right)
{
    return QStringLiteral("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %1 +X %2\n").arg(size.height()).arg(size.width()).toLatin1()
        + (left.repeated(size.width() / 2) + right.repeated(size.width() - size.width() / 2)).repeated(size.height());
}

// A picture made by a program in dir, read back; empty when it failed.
QByteArray made(const QTemporaryDir &dir, const QString &program, const QStringList &args, const QString &name)
{
    return runTool(program, args) ? readFile(dir.filePath(name)) : QByteArray();
}

// A Krita file: a zip archive whose first entry, stored, names the type, and
// whose mergedimage.png is what viewers show.
QByteArray zipped(const QTemporaryDir &dir, const QImage &img, const QByteArray &mimetype)
{
    const QString zip = dir.filePath(QStringLiteral("z.zip"));
    return writeFile(dir.filePath(QStringLiteral("mimetype")), mimetype) && img.save(dir.filePath(QStringLiteral("mergedimage.png")))
            && runTool(QStringLiteral("sh"), {"-c", QStringLiteral("cd '%1' && zip -q -X -0 z.zip mimetype && zip -q -X z.zip mergedimage.png").arg(dir.path())})
        ? readFile(zip) : QByteArray();
}
} // namespace

// The helper program on its channel, as the service talks to it.
class TestRenderHelper : public QObject, MediaCase
{
    Q_OBJECT
    std::unique_ptr<Child> m_helper;

    bool startHelper(qint64 memory)
    {
        m_helper.reset(new Child);
        RenderChannel::Type type;
        QByteArray ready;
        return m_helper->start({K8_RENDER_BINARY, "--memory", QByteArray::number(memory)})
            && RenderChannel::receive(m_helper->channel, type, ready, nullptr, 30000) && type == RenderChannel::Ready;
    }

    // Sends bytes as a file called name (made length long by a hole, or
    // given as the service's memory copy when copy), grants every
    // reservation when grant, and waits for the result.
    Reply render(const QByteArray &name, const QByteArray &bytes, int kind, int side, bool grant = true, qint64 length = 0,
                 bool copy = false)
    {
        Reply reply;
        const int fd = ::memfd_create("picture", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size()
            || (length > bytes.size() && ::ftruncate(fd, length) != 0)
            || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0)
            return reply;
        RenderRequest request;
        request.kind = kind;
        request.width = request.height = side;
        request.memoryCap = qint64(256) << 20;
        request.sourceLength = copy ? bytes.size() : 0;
        const bool sent = RenderChannel::send(m_helper->channel, RenderChannel::Request,
                                              QByteArray(reinterpret_cast<const char *>(&request), sizeof request) + name, fd);
        ::close(fd);
        RenderChannel::Type type;
        QByteArray message;
        while (sent && RenderChannel::receive(m_helper->channel, type, message, nullptr, 30000)) {
            if (type == RenderChannel::Reserve && message.size() == 8) {
                reply.reserved = qMax(reply.reserved, qFromLittleEndian<qint64>(message.constData()));
                RenderChannel::send(m_helper->channel, RenderChannel::Granted, QByteArray(1, grant ? 1 : 0));
            } else if (type == RenderChannel::Result && message.size() >= 4) {
                reply.result = qFromLittleEndian<qint32>(message.constData());
                reply.thumbnail = QImage::fromData(message.mid(4), "jpg");
                break;
            }
        }
        return reply;
    }

private slots:
    void init() { QVERIFY(fresh()); }
    void cleanup() { m_helper.reset(); }

    void renders_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("result");
        QTest::addColumn<QSize>("size");
        const int rendered = int(RenderResult::Rendered);
        QTest::newRow("jpeg") << QByteArray("a.jpg") << jpegBytes(picture(1200, 800)) << int(RenderPicture::Image) << rendered
                              << QSize(200, 133);
        QTest::newRow("progressive jpeg") << QByteArray("p.jpg") << jpegBytes(detailed(1600, 1200), true)
                                          << int(RenderPicture::Image) << rendered << QSize(200, 150);
        QTest::newRow("png") << QByteArray("a.png") << encoded(picture(400, 200), "png") << int(RenderPicture::Image)
                             << rendered << QSize(200, 100);
        QTest::newRow("svg text") << QByteArray("t.svg") << SVG_TEXT << int(RenderPicture::Image) << rendered << QSize(200, 80);
        QTest::newRow("not a picture") << QByteArray("a.png") << QByteArray(5000, 'x') << int(RenderPicture::Image)
                                       << int(RenderResult::DecodeFailed) << QSize(0, 0);
        QTest::newRow("camera raw, preview") << QByteArray("a.dng")
                                             << DngFixture::dng(640, 480, 200, 60, 60, jpegBytes(picture(320, 240)), 6, 320, 240)
                                             << int(RenderPicture::Raw) << rendered << QSize(150, 200);
        QTest::newRow("radiance") << QByteArray("a.hdr") << radiance(QSize(1200, 800), "\x80\x80\x80\x83", "\x80\x80\x80\x85")
                                  << int(RenderPicture::Image) << rendered << QSize(200, 133);
        QTest::newRow("camera raw, developed") << QByteArray("a.dng") << DngFixture::dng(2400, 1600, 200, 60, 60, QByteArray(), 1)
                                               << int(RenderPicture::Raw) << rendered << QSize(200, 133);
        const QString heif = QFINDTESTDATA("../../data/patches-displayp3.heic");
        const QString overlay = QFINDTESTDATA("../../data/overlay-3000-declares-64.heic");
        QVERIFY(!heif.isEmpty() && !overlay.isEmpty());
        QTest::newRow("heif") << QByteArray("p.heic") << readFile(heif) << int(RenderPicture::Heif) << rendered << QSize(200, 100);
        // Unchecked, libheif makes the canvas and its RGB copy (54 MB) before
        // the renderer finds the size wrong.
        QTest::newRow("overlay 3000x3000 declaring 64x64") << QByteArray("o.heic") << readFile(overlay) << int(RenderPicture::Heif)
                                                           << int(RenderResult::DecodeFailed) << QSize(0, 0);
    }

    // Each the right size, and never above what the helper reserved for it.
    void renders()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        QVERIFY(startHelper(qint64(256) << 20));
        QCOMPARE(render("warm.jpg", jpegBytes(picture(64, 64)), RenderPicture::Image, 32).result, 0);
        // The peak starts again from here.
        QVERIFY(writeFile(QStringLiteral("/proc/%1/clear_refs").arg(m_helper->pid), "5"));
        const qint64 before = peakKiB(m_helper->pid);
        const Reply reply = render(name, bytes, kind, 200);
        QTEST(reply.result, "result");
        QTEST(reply.thumbnail.size(), "size");
        const qint64 grown = (peakKiB(m_helper->pid) - before) << 10;
        QVERIFY2(!MEASURED || grown <= reply.reserved + (qint64(8) << 20),
                 qPrintable(QStringLiteral("grew %1 bytes, reserved %2").arg(grown).arg(reply.reserved)));
        // 4.0 and 16.0, which clipped at 1.0 would both show white: neither
        // half black or white, and the brighter half still brighter.
        if (name == "a.hdr") {
            const int l = qGray(reply.thumbnail.pixel(50, 66)), r = qGray(reply.thumbnail.pixel(150, 66));
            QVERIFY2(l > 40 && l < 215 && r > 40 && r < 215 && r - l > 30,
                     qPrintable(QStringLiteral("grey %1 and %2").arg(l).arg(r)));
        }
        if (name == "t.svg") {
            const QImage &t = reply.thumbnail;
            QVERIFY(darkPixels(t, QRect(0, 0, t.width() / 2, t.height())) > 50);
            QCOMPARE(darkPixels(t, QRect(t.width() * 3 / 5, 0, t.width() * 2 / 5, t.height())), 0);
        }
    }

    // The service's memory copy stays mapped while requests come from it
    // and is let go when another source comes: the service may have given
    // it back.
    void copyLetGo()
    {
        QVERIFY(startHelper(qint64(256) << 20));
        const QByteArray jpeg = jpegBytes(picture(640, 480));
        const auto mapped = [&] { return readFile(QStringLiteral("/proc/%1/maps").arg(m_helper->pid)).contains("memfd:picture"); };
        QCOMPARE(render("a.jpg", jpeg, RenderPicture::Image, 200, true, 0, true).result, 0);
        QVERIFY(mapped());
        QCOMPARE(render("b.jpg", jpeg, RenderPicture::Image, 200).result, 0);
        QVERIFY(!mapped());
    }

    void pictureTypes_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");        // empty: no tool here makes such a file
        QTest::addColumn<QRgb>("shown");              // the thumbnail's colour
        const QRgb orange = qRgb(200, 60, 30);
        const QImage img = picture(64, 48, orange);
        QTemporaryDir tmp;            // the data functions run before init()
        const QString png = tmp.filePath("a.png");
        QVERIFY(tmp.isValid() && img.save(png));
        QTest::newRow("ppm") << QByteArray("a.ppm") << encoded(img, "ppm") << orange;
        QTest::newRow("pcx") << QByteArray("a.pcx") << encoded(img, "pcx") << orange;
        QTest::newRow("jpeg xl") << QByteArray("a.jxl") << encoded(img, "jxl") << orange;
        QTest::newRow("psd") << QByteArray("a.psd") << psd(orange) << orange;
        QTest::newRow("krita") << QByteArray("a.kra") << (haveTool("zip") ? zipped(tmp, img, "application/x-krita") : QByteArray()) << orange;
        // 0.78, 0.23, 0.12, one colour throughout: tone-mapped to middle grey's luminance, its hue kept.
        const QByteArray hdrOrange("\xc8\x3c\x1e\x80");
        QTest::newRow("radiance") << QByteArray("a.hdr") << radiance(img.size(), hdrOrange, hdrOrange) << qRgb(160, 92, 66);
        // The same values linear: the plug-in's display curve (knee, gamma 2.2) darkens them.
        QTest::newRow("openexr") << QByteArray("a.exr")
                                 << (haveTool("ffmpeg") ? made(tmp, "ffmpeg", {"-v", "error", "-i", png, "-pix_fmt", "rgb48le", tmp.filePath("a.exr")}, "a.exr")
                                                        : QByteArray()) << qRgb(151, 95, 70);
        QTest::newRow("bigtiff") << QByteArray("a.btf")
                                 << (haveTool("convert") ? made(tmp, "convert", {png, "TIFF64:" + tmp.filePath("a.btf")}, "a.btf") : QByteArray())
                                 << orange;
    }

    // Each through a locked-in helper, as the service renders it.
    void pictureTypes()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        if (bytes.isEmpty())
            QSKIP("no writer for this type here (zip, ffmpeg or imagemagick missing)");
        QVERIFY(startHelper(qint64(256) << 20));
        const Reply reply = render(name, bytes, RenderPicture::Image, 200);
        QCOMPARE(reply.result, int(RenderResult::Rendered));
        QCOMPARE(reply.thumbnail.size(), QSize(200, 150));
        QFETCH(QRgb, shown);
        QCOMPARE(colourMismatch(reply.thumbnail, {{{0.5, 0.5}, shown}}, 16), QString());
    }

    void lockedIn()
    {
        QVERIFY(startHelper(qint64(64) << 20));
        QVERIFY(QTest::qWaitFor([&] { return m_helper->procStatus().contains("Seccomp:\t2"); }, 20000));
        const QByteArray status = m_helper->procStatus();
        QVERIFY(status.contains("NoNewPrivs:\t1"));
        if (::geteuid() == 0) {
            QVERIFY(!status.contains("Uid:\t0"));
            QVERIFY(!status.contains("Gid:\t0"));
            QVERIFY(status.contains("Groups:\t\n") || status.contains("Groups:\t \n"));
        }
        const QByteArray limits = readFile(QStringLiteral("/proc/%1/limits").arg(m_helper->pid));
        QVERIFY(QRegularExpression(QStringLiteral("Max file size\\s+0\\s+0")).match(QString::fromLatin1(limits)).hasMatch());
        if (::geteuid() == 0)
            QVERIFY(QRegularExpression(QStringLiteral("Max processes\\s+512\\s+512")).match(QString::fromLatin1(limits)).hasMatch());
        // The channel's end is the helper's.
        ::close(m_helper->channel);
        m_helper->channel = -1;
        QVERIFY(m_helper->ended(10000));
        QVERIFY(WIFEXITED(m_helper->status) && WEXITSTATUS(m_helper->status) == 0);
    }

    void refused_data()
    {
        QTest::addColumn<qint64>("memory");       // the helper's cap
        QTest::addColumn<qint64>("length");       // of the file, 0: as long as the picture
        QTest::addColumn<bool>("grant");
        QTest::addColumn<bool>("asked");          // whether it asked the service for memory
        QTest::newRow("the service refuses") << (qint64(256) << 20) << qint64(0) << false << true;
        // Read whole, the file would be beyond the helper's data limit.
        QTest::newRow("file over the cap") << (qint64(1) << 20) << (qint64(512) << 20) << true << false;
    }

    // Over the cap, not a failure of the file.
    void refused()
    {
        QFETCH(qint64, memory);
        QFETCH(qint64, length);
        QFETCH(bool, grant);
        QVERIFY(startHelper(memory));
        const Reply reply = render("a.jpg", jpegBytes(picture(800, 600)), RenderPicture::Image, 200, grant, length);
        QCOMPARE(reply.result, int(RenderResult::OverMemoryCap));
        QTEST(reply.reserved > 0, "asked");
    }

    void filter_data()
    {
        QTest::addColumn<QByteArray>("call");
        QTest::addColumn<int>("signal");          // what ends the probe; 0: its exit status
        QTest::addColumn<int>("status");          // 1: EACCES
        QTest::newRow("socket") << QByteArray("socket") << SIGSYS << 0;
        QTest::newRow("exec") << QByteArray("exec") << SIGSYS << 0;
        QTest::newRow("fork") << QByteArray("fork") << SIGSYS << 0;
        QTest::newRow("open for writing") << QByteArray("write") << 0 << 1;
    }

    // The helper's filter, installed by a probe that then makes one call.
    void filter()
    {
        QFETCH(QByteArray, call);
        QFETCH(int, signal);
        Child probe;
        const QByteArray file = QFile::encodeName(at("written"));
        QVERIFY(probe.start({K8_FILTER_PROBE, call, file}));
        QVERIFY(probe.ended(10000));
        QCOMPARE(WIFSIGNALED(probe.status) ? WTERMSIG(probe.status) : 0, signal);
        if (!signal)
            QTEST(WEXITSTATUS(probe.status), "status");
        QVERIFY(!QFileInfo::exists(at("written")));
    }
};

QTEST_GUILESS_MAIN(TestRenderHelper)
#include "tst_renderhelper.moc"
