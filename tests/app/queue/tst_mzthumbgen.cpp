#include "mzthumbgen.h"

#include "br2utils.h"

#include <QtGui>
#include <QtTest>

class TestMZThumbgen : public QObject
{
    Q_OBJECT
private slots:
    void layoutJobSizes_data()
    {
        QTest::addColumn<QJsonArray>("extra");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("3 arguments") << QJsonArray() << QSize(200, 150);
        QTest::newRow("160 120") << QJsonArray{"160", "120"} << QSize(160, 120);
        QTest::newRow("160 0") << QJsonArray{"160", "0"} << QSize(200, 150);
    }

    // A job's own size, when whole and positive, wins over the box.
    void layoutJobSizes()
    {
        QFETCH(QJsonArray, extra);
        QTemporaryDir dir;
        const QString src = dir.filePath("src"), thumbs = dir.filePath("thumbs");
        QImage image(400, 300, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(dir.isValid() && QDir().mkpath(src) && image.save(src + "/a.png"));
        QJsonArray args{"pellowcloud", src, thumbs};
        for (const QJsonValue &v : extra)
            args.append(v);
        QVERIFY(MZThumbgen::runJob(QJsonObject{{"args", args}}, 200, 200));
        QTEST(QImageReader(thumbs + '/' + md5hex(QFileInfo(src + "/a.png").absoluteFilePath()) + ".jpg").size(), "expected");
    }
};

QTEST_GUILESS_MAIN(TestMZThumbgen)
#include "tst_mzthumbgen.moc"
