#include "picturefit.h"

#include <QtTest>

class TestPictureFit : public QObject
{
    Q_OBJECT
private slots:
    void fitRule_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("expected");
        const QSize box(200, 200);
        QTest::newRow("1000x2 keeps a pixel") << QSize(1000, 2) << box << QSize(200, 1);
        QTest::newRow("empty box") << QSize(640, 480) << QSize(0, 200) << QSize();
    }

    void fitRule()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, box);
        QTEST(fitSize(source, box.width(), box.height()), "expected");
    }
};

QTEST_GUILESS_MAIN(TestPictureFit)
#include "tst_picturefit.moc"
