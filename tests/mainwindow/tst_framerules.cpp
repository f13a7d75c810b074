// The window's pure rules: edge strips, cursors, drag geometry, centring,
// time texts and the option values sent to the engine.

#include "mainwindow/playeroptions.h"
#include "mainwindow/playtime.h"
#include "mainwindow/windowframe.h"

#include <QtTest>

using WindowFrame::Area;

Q_DECLARE_METATYPE(Area)

class TestFrameRules : public QObject
{
    Q_OBJECT

private slots:
    void hitRegion_data()
    {
        QTest::addColumn<Area>("area");
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("region");
        // A 100 x 44 bar and a 100 x 200 page.
        QTest::newRow("title top-left") << Area::TitleBar << QPoint(0, 0) << 11;
        QTest::newRow("title top edge") << Area::TitleBar << QPoint(50, 4) << 12;
        QTest::newRow("title top-right") << Area::TitleBar << QPoint(99, 0) << 13;
        QTest::newRow("title left below corner") << Area::TitleBar << QPoint(4, 5) << 21;
        QTest::newRow("title middle") << Area::TitleBar << QPoint(5, 5) << 22;
        QTest::newRow("title right") << Area::TitleBar << QPoint(95, 43) << 23;
        QTest::newRow("title outside") << Area::TitleBar << QPoint(100, 10) << 0;
        QTest::newRow("page left strip") << Area::Page << QPoint(4, 150) << 11;
        QTest::newRow("page middle") << Area::Page << QPoint(5, 0) << 12;
        QTest::newRow("page right strip") << Area::Page << QPoint(95, 199) << 13;
        QTest::newRow("page below") << Area::Page << QPoint(50, 200) << 0;
        QTest::newRow("bottom left") << Area::BottomBar << QPoint(0, 38) << 11;
        QTest::newRow("bottom middle") << Area::BottomBar << QPoint(50, 38) << 12;
        QTest::newRow("bottom right") << Area::BottomBar << QPoint(96, 0) << 13;
        QTest::newRow("bottom bottom-left") << Area::BottomBar << QPoint(0, 39) << 21;
        QTest::newRow("bottom bottom edge") << Area::BottomBar << QPoint(50, 43) << 22;
        QTest::newRow("bottom bottom-right") << Area::BottomBar << QPoint(99, 43) << 23;
    }
    void hitRegion()
    {
        QFETCH(Area, area);
        QFETCH(QPoint, pos);
        QFETCH(int, region);
        const QSize size(100, area == Area::Page ? 200 : 44);
        QCOMPARE(WindowFrame::hitRegion(area, size, pos), region);
    }

    void cursorShapes()
    {
        QCOMPARE(WindowFrame::cursorShape(Area::TitleBar, 11), Qt::SizeFDiagCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::TitleBar, 13), Qt::SizeBDiagCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::TitleBar, 22), Qt::ArrowCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::Page, 13), Qt::SizeHorCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::Page, 12), Qt::ArrowCursor);
        // The bottom bar's lower corners mirror the title bar's upper ones.
        QCOMPARE(WindowFrame::cursorShape(Area::BottomBar, 21), Qt::SizeBDiagCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::BottomBar, 23), Qt::SizeFDiagCursor);
        QCOMPARE(WindowFrame::cursorShape(Area::BottomBar, 22), Qt::SizeVerCursor);
    }

    void resizedGeometry_data()
    {
        QTest::addColumn<Area>("area");
        QTest::addColumn<int>("region");
        QTest::addColumn<QRect>("expected");
        // Saved geometry (100, 50, 800, 500): right 899, bottom 549; pointer at (90, 40).
        QTest::newRow("title top-left") << Area::TitleBar << 11 << QRect(90, 40, 809, 509);
        QTest::newRow("title top") << Area::TitleBar << 12 << QRect(100, 40, 800, 509);
        QTest::newRow("title top-right") << Area::TitleBar << 13 << QRect(100, 40, -10, 509);
        QTest::newRow("title left") << Area::TitleBar << 21 << QRect(90, 50, 809, 500);
        QTest::newRow("title middle moves") << Area::TitleBar << 22 << QRect();
        QTest::newRow("page left") << Area::Page << 11 << QRect(90, 50, 809, 500);
        QTest::newRow("page middle") << Area::Page << 12 << QRect();
        QTest::newRow("bottom bottom-left") << Area::BottomBar << 21 << QRect(90, 50, 809, -10);
        QTest::newRow("bottom right") << Area::BottomBar << 13 << QRect(100, 50, -10, 500);
    }
    void resizedGeometry()
    {
        QFETCH(Area, area);
        QFETCH(int, region);
        QFETCH(QRect, expected);
        QCOMPARE(
            WindowFrame::resizedGeometry(area, region, QRect(100, 50, 800, 500), QPoint(90, 40)),
            expected);
    }

    void bottomEdgeFollowsPointer()
    {
        const QRect saved(100, 50, 800, 500);
        QCOMPARE(WindowFrame::resizedGeometry(Area::BottomBar, 22, saved, QPoint(400, 700)),
            QRect(100, 50, 800, 650));
        QCOMPARE(WindowFrame::resizedGeometry(Area::BottomBar, 23, saved, QPoint(1000, 700)),
            QRect(100, 50, 900, 650));
    }

    void sizeLimits()
    {
        const QSize min(580, 350), max(16777215, 16777215);
        QVERIFY(WindowFrame::fitsSizeLimits(QRect(0, 0, 580, 350), min, max));
        QVERIFY(!WindowFrame::fitsSizeLimits(QRect(0, 0, 579, 900), min, max));
        QVERIFY(!WindowFrame::fitsSizeLimits(QRect(0, 0, 900, 349), min, max));
        QVERIFY(!WindowFrame::fitsSizeLimits(QRect(0, 0, -10, 500), min, max));
    }

    void centredPosition()
    {
        // Integer division: an odd difference leaves the extra pixel right and below.
        QCOMPARE(WindowFrame::centredPosition(QRect(100, 50, 873, 578), QSize(831, 466)),
            QPoint(121, 106));
        // A dialog larger than the window sits above and left of it.
        QCOMPARE(WindowFrame::centredPosition(QRect(0, 0, 580, 350), QSize(831, 466)),
            QPoint(-125, -58));
    }

    void formatPlayTime_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0 << "00:00:00";
        QTest::newRow("milliseconds dropped") << 59999 << "00:00:59";
        QTest::newRow("mixed") << 3723999 << "01:02:03";
        QTest::newRow("last second of a day") << 86399999 << "23:59:59";
        QTest::newRow("24 hours") << 86400000 << "";
        QTest::newRow("negative") << -1 << "";
        QTest::newRow("small negative") << -999 << "";
    }
    void formatPlayTime()
    {
        QFETCH(int, ms);
        QFETCH(QString, text);
        QCOMPARE(::formatPlayTime(ms), text);
    }

    void optionValues()
    {
        using namespace PlayerOptions;
        QCOMPARE(aspectRatioEngineText(QStringLiteral("default"), QStringLiteral("16;10")),
            QStringLiteral("16;10"));
        QCOMPARE(aspectRatioEngineText(QStringLiteral("4:3"), QStringLiteral("16;10")),
            QStringLiteral("4;3"));
        QCOMPARE(aspectRatioEngineText(QStringLiteral("16:9"), QString()), QStringLiteral("16;9"));
        // Unknown saved text travels unchanged.
        QCOMPARE(aspectRatioEngineText(QStringLiteral("21:9"), QString()), QStringLiteral("21:9"));

        QCOMPARE(audioChannelNumber(QStringLiteral("StereoAudioChannel")), 0);
        QCOMPARE(audioChannelNumber(QStringLiteral("LeftAudioChannel")), 1);
        QCOMPARE(audioChannelNumber(QStringLiteral("RightAudioChannel")), 2);
        QCOMPARE(audioChannelNumber(QStringLiteral("LeftRightAudioChannel")), 3);
        QCOMPARE(audioChannelNumber(QStringLiteral("Surround")), 0);

        QCOMPARE(renderModeNumber(QStringLiteral("Overlay")), 1);
        QCOMPARE(renderModeNumber(QStringLiteral("Renderless")), 2);
        QCOMPARE(renderModeNumber(QStringLiteral("AVR")), 5);
    }
};

QTEST_APPLESS_MAIN(TestFrameRules)
#include "tst_framerules.moc"
