#include "../app/servicefixture.h"

// The installed tree and the Debian package, made from this build.
class TestPackage : public QObject
{
    Q_OBJECT
    static bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr,
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out)
            *out = p.readAllStandardOutput();
        return ok;
    }

private slots:
    // Installed under a prefix of its own: the installed service serves the
    // installed client, writes a thumbnail, and ends on SIGTERM with 0.
    void installedTree()
    {
        QTemporaryDir prefix;
        QVERIFY(run(QStringLiteral("cmake"), {"--install", K8_BUILD_DIR, "--prefix", prefix.path()}));
        ServiceFixture s;
        s.binary = prefix.filePath(QStringLiteral("bin/k8thumbgen"));
        const QString src = s.pictures(QStringLiteral("src"), 2), thumbs = s.path(QStringLiteral("thumbs"));
        QVERIFY(s.listen());
        QVERIFY(run(prefix.filePath(QStringLiteral("bin/k8thumbgenctl")),
                    {"--lpcid", s.socketPath(), "insert", "pellowcloud", src, thumbs}));
        QVERIFY(QTest::qWaitFor([&] { return QDir(thumbs).entryList(QDir::Files).size() == 2; }, 20000));
        QCOMPARE(s.stop(SIGTERM), 0);
        QVERIFY(QFileInfo(prefix.filePath(QStringLiteral("lib/systemd/system/k8thumbgen.service"))).isFile());
        QVERIFY(QFileInfo(prefix.filePath(QStringLiteral("share/man/man8/k8thumbgen.8"))).isFile());
    }

    // Its control data, its files, and its postinst run in a scratch root:
    // the example configuration copied once, an edited one left alone.
    void debianPackage()
    {
        QTemporaryDir out;
        QVERIFY(run(QStringLiteral("cpack"), {"-G", "DEB", "-B", out.path(), "--config", K8_BUILD_DIR "/CPackConfig.cmake"}));
        const QStringList debs = QDir(out.path()).entryList({"k8thumbgen_*.deb"});
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());
        QByteArray depends, files;
        QVERIFY(run(QStringLiteral("dpkg-deb"), {"-f", deb, "Depends"}, &depends) && run("dpkg-deb", {"-c", deb}, &files));
        for (const char *dep : {"qt5-image-formats-plugins", "kimageformat-plugins", "libqt5svg5", "ffmpeg", "libheif1",
                                "libjpeg62-turbo", "libqt5core5a", "libseccomp2", "fonts-dejavu-core"})
            QVERIFY2(depends.contains(dep), dep);
        for (const char *file : {"./usr/bin/k8thumbgen", "./usr/bin/k8thumbgenctl", "./usr/lib/systemd/system/k8thumbgen.service",
                                 "./usr/lib/systemd/system/k8thumbgen.socket",
                                 "./usr/share/doc/k8thumbgen/examples/config.json", "./usr/libexec/k8thumbgen/k8thumbgen-render",
                                 "./usr/libexec/k8thumbgen/k8thumbgen-launch"})
            QVERIFY2(files.contains(file), file);
        QVERIFY(!files.contains("crashing"));

        QTemporaryDir root;
        QVERIFY(run("dpkg-deb", {"-x", deb, root.path()}) && run("dpkg-deb", {"-e", deb, root.filePath("DEBIAN")}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DPKG_ROOT"), root.path());
        const QString postinst = root.filePath(QStringLiteral("DEBIAN/postinst")), config = root.filePath("orby/etc/thumbgen/config.json");
        QVERIFY(run(postinst, {"configure"}, nullptr, env));
        QCOMPARE(readFile(config), readFile(root.filePath("usr/share/doc/k8thumbgen/examples/config.json")));
        QVERIFY(QFileInfo(root.filePath("etc/systemd/system/multi-user.target.wants/k8thumbgen.service")).isSymLink());
        QVERIFY(QFileInfo(root.filePath("etc/systemd/system/sockets.target.wants/k8thumbgen.socket")).isSymLink());
        QVERIFY(writeFile(config, "{\"lpcid\": \"edited\"}") && run(postinst, {"configure", "1.0"}, nullptr, env));
        QCOMPARE(readFile(config), QByteArray("{\"lpcid\": \"edited\"}"));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
