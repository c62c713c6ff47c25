#include "../app/servicefixture.h"

// The installed tree and the Debian package, made from this build.
class TestPackage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_out;   // the package, made once for every test function
    QString m_deb;

    static bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr,
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), QByteArray *err = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        const bool ok = p.waitForFinished(240000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return ok;
    }

    QString deb()
    {
        if (m_deb.isEmpty() && run("cpack", {"-G", "DEB", "-B", m_out.path(), "--config", K8_BUILD_DIR "/CPackConfig.cmake"}))
            m_deb = m_out.filePath(QDir(m_out.path()).entryList({"k8thumbgen_*.deb"}).value(0));
        return m_deb;
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
        QVERIFY(QFileInfo(prefix.filePath(QStringLiteral("share/man/man5/k8thumbgen.conf.5.gz"))).isFile());
    }

    // Its control data, its files, and its maintainer scripts run in a
    // scratch root: the example configuration copied once, an edited one
    // left alone, the unit's links made and gone again on purge.
    void debianPackage()
    {
        const QString deb = this->deb();
        QVERIFY(!deb.isEmpty());
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
        QVERIFY(run(root.filePath(QStringLiteral("DEBIAN/postrm")), {"purge"}, nullptr, env));
        QVERIFY(!QFileInfo::exists(root.filePath("etc/systemd/system/multi-user.target.wants"))
                && !QFileInfo::exists(root.filePath("etc/systemd/system/sockets.target.wants")));
    }

    // Debian's checks find no error and no warning.
    void lintianClean()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty())
            QSKIP("lintian not installed");
        QByteArray out;
        QVERIFY2(!deb().isEmpty() && run(QStringLiteral("lintian"), {"--fail-on", "error,warning", deb()}, &out), out);
    }

    // Every manual page renders: no warning from groff, no request or
    // escape left in the text, and every tag on one line (its brackets
    // close on the line they open).
    void manualPages_data()
    {
        QTest::addColumn<QString>("page");
        for (const char *page : {"k8thumbgen.8", "k8thumbgen.conf.5", "k8thumbgenctl.1"})
            QTest::newRow(page) << QStringLiteral(K8_SOURCE_DIR "/docs/") + page;
    }

    void manualPages()
    {
        QFETCH(QString, page);
        if (QStandardPaths::findExecutable(QStringLiteral("man")).isEmpty())
            QSKIP("man not installed");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MANPAGER"), QStringLiteral("cat"));
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("200"));
        QByteArray out, err;
        QVERIFY(run(QStringLiteral("man"), {"--warnings", "-l", page}, &out, env, &err));
        QVERIFY2(err.isEmpty(), err);
        for (const QByteArray &line : out.split('\n'))
            QVERIFY2(!line.trimmed().startsWith('.') && !line.contains('\\') && line.count('[') == line.count(']'), line);
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
