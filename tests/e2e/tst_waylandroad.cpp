// The program in a Wayland session with XWayland (weston): the window
// appears, plays, is dragged by its title bar and goes full screen. Input
// goes through weston's own pointer and keyboard, and the screenshots show
// what weston shows; the program's windows are found on XWayland. Kept
// under <build>/tests/e2e/artefacts/wayland.
#include "xdriver.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// While alive, the xdriver helpers (pointer, keyboard, screenshots) work on
// the X server that weston draws into, where weston takes its input.
class OnCompositor
{
public:
    OnCompositor()
        : m_saved(qgetenv("DISPLAY"))
    {
        qputenv("DISPLAY", qgetenv("TAVRION_HOST_DISPLAY"));
    }
    ~OnCompositor() { qputenv("DISPLAY", m_saved); }

private:
    QByteArray m_saved;
};

void xdotool(const QStringList &arguments)
{
    run(QStringLiteral("xdotool"), arguments);
}

// A click through weston's pointer: it enters the window first, as a hand
// moves before it clicks, so that weston gives the window the pointer.
void clickOnCompositor(const QPoint &at)
{
    xdotool({ "mousemove", QString::number(at.x()), QString::number(at.y()) });
    QTest::qWait(300);
    xdotool({ "mousedown", "1" });
    QTest::qWait(100);
    xdotool({ "mouseup", "1" });
}

// The XWayland id of the visible window of the process with this size.
QString windowId(qint64 pid, const QSize &size)
{
    const QStringList ids = run(QStringLiteral("xdotool"),
        { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
            QString::number(pid) })
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        const QString geometry
            = run(QStringLiteral("xdotool"), { QStringLiteral("getwindowgeometry"), id });
        if (geometry.endsWith(
                QStringLiteral("Geometry: %1x%2").arg(size.width()).arg(size.height())))
            return id;
    }
    return QString();
}

// Where weston shows a window of this size: the top strip of the window's
// own picture (taken on XWayland) looked for in weston's screen within 64
// pixels of where XWayland says the window is. (-1, -1) when it is not there.
QPoint shownAt(const QString &id, const QPoint &xPosition, const QImage &screen, const QSize &size)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("window.png"));
    run(QStringLiteral("import"), { QStringLiteral("-window"), id, path });
    // The right part of the title bar: dialogs may cover the left part.
    const QRect part = size == MainWindowSize
        ? QRect(420, 0, 440, 30)
        : QRect(size.width() / 2, 0, size.width() / 2 - 12, 30);
    const QImage strip = QImage(path).convertToFormat(QImage::Format_RGB32).copy(part);
    const QImage shown = screen.convertToFormat(QImage::Format_RGB32);
    if (strip.isNull() || shown.isNull())
        return QPoint(-1, -1);
    const auto near = [](QRgb a, QRgb b) {
        return qAbs(qRed(a) - qRed(b)) <= 24 && qAbs(qGreen(a) - qGreen(b)) <= 24
            && qAbs(qBlue(a) - qBlue(b)) <= 24;
    };
    const int allowed = (strip.width() / 3) * (strip.height() / 2) / 20;
    for (int dy = -64; dy <= 64; ++dy) {
        for (int dx = -64; dx <= 64; ++dx) {
            const QPoint at = xPosition + QPoint(dx, dy) + part.topLeft();
            if (!shown.rect().contains(QRect(at, strip.size())))
                continue;
            int differing = 0;
            for (int y = 0; y < strip.height() && differing <= allowed; y += 2) {
                for (int x = 0; x < strip.width() && differing <= allowed; x += 3)
                    differing
                        += near(strip.pixel(x, y), shown.pixel(at.x() + x, at.y() + y)) ? 0 : 1;
            }
            if (differing <= allowed)
                return at - part.topLeft();
        }
    }
    return QPoint(-1, -1);
}

// On a busy machine weston may draw a window seconds after XWayland maps
// it: waits up to 60 s until weston's screen shows the window of this size
// near xPosition. Returns where it is shown, the last screen in `shot`.
QPoint waitShown(const QString &id, const QPoint &xPosition, const QSize &size, QImage *shot,
    const QString &saveAs = QString())
{
    QDeadlineTimer deadline(60000);
    QPoint shown(-1, -1);
    for (;;) {
        {
            OnCompositor compositor;
            *shot = screenshot(saveAs);
        }
        shown = shownAt(id, xPosition, *shot, size);
        if (shown.x() >= 0 || deadline.hasExpired())
            return shown;
        QTest::qWait(300);
    }
}

} // namespace

class TestWaylandRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void appearPlayDragFullScreen();

private:
    QString m_artefacts;
};

void TestWaylandRoad::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TAVRION_HOST_DISPLAY"))
        QSKIP("not inside a Wayland session (tests/support/run-weston)");
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    m_artefacts = e2eArtefacts(QStringLiteral("wayland"));
}

void TestWaylandRoad::appearPlayDragFullScreen()
{
    DemoRoad road;
    QVERIFY2(road.start(), road.why());

    // A session as a Wayland desktop starts it: WAYLAND_DISPLAY, DISPLAY of
    // XWayland and XDG_SESSION_TYPE=wayland, no platform chosen.
    QProcess tavrion;
    tavrion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QVERIFY(startTavrion(tavrion, road.work.path(), road.home.path()));
    const qint64 pid = tavrion.processId();

    // The window appears, on XWayland and on weston's screen. Weston keeps
    // a margin around the windows it frames, so its screen and XWayland
    // place them a few pixels apart: the offset is measured here.
    // Time-outs here are generous: under load the program, XWayland and
    // weston each take seconds for what is instant on a quiet machine.
    const QPoint main = findWindow(pid, MainWindowSize, 60000);
    QVERIFY2(main.x() >= 0, "no main window on XWayland");
    const QString id = windowId(pid, MainWindowSize);
    QVERIFY(!id.isEmpty());
    {
        // Weston follows the pointer once it has entered its window, which
        // leaves a strip of the X server free for that.
        OnCompositor compositor;
        xdotool({ "mousemove", "1650", "1050" });
        QTest::qWait(200);
        xdotool({ "mousemove", "800", "500" });
    }
    QImage shot;
    const QPoint shown
        = waitShown(id, main, MainWindowSize, &shot, m_artefacts + QStringLiteral("/1-start.png"));
    QVERIFY2(shown.x() >= 0, "the main window is not on weston's screen");
    const QPoint offset = main - shown;

    // Logged in automatically: the account dialog's close button puts it away.
    // A click is only sent once weston shows the dialog, or it would land on
    // the window below.
    const QPoint account = findWindow(pid, AccountDialogSize, 30000);
    QVERIFY2(account.x() >= 0, "no account dialog");
    const QString accountId = windowId(pid, AccountDialogSize);
    QVERIFY(!accountId.isEmpty());
    QVERIFY2(waitShown(accountId, account, AccountDialogSize, &shot).x() >= 0,
        "the account dialog is not on weston's screen");
    {
        OnCompositor compositor;
        clickOnCompositor(account - offset + QPoint(282, 20));
    }
    QTRY_COMPARE_WITH_TIMEOUT(findWindow(pid, AccountDialogSize, 0), QPoint(-1, -1), 30000);

    // It plays.
    {
        OnCompositor compositor;
        const QPoint openButton
            = findOpenButton(screenshot(m_artefacts + QStringLiteral("/2-main-page.png")),
                QRect(shown, MainWindowSize));
        QVERIFY2(openButton.x() >= 0, "no open button on the main page");
        clickOnCompositor(openButton);
    }
    const QPoint dialogX = findWindow(pid, ListDialogSize, 30000);
    QVERIFY2(dialogX.x() >= 0, "the parse dialog did not open");
    const QPoint dialog = dialogX - offset;
    const QString dialogId = windowId(pid, ListDialogSize);
    QVERIFY(!dialogId.isEmpty());
    QVERIFY2(waitShown(dialogId, dialogX, ListDialogSize, &shot).x() >= 0,
        "the parse dialog is not on weston's screen");
    {
        OnCompositor compositor;
        clickOnCompositor(dialog + QPoint(100, 62));
        type(road.clip);
        clickOnCompositor(dialog + QPoint(658, 62));
        QVERIFY2(
            waitForText(ParseFirstRowName.translated(dialog), 60000), "no file rows after parsing");
        screenshot(m_artefacts + QStringLiteral("/3-parse-dialog.png"));
        clickOnCompositor(dialog + ParseFirstRowPlay);
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(road.work.filePath("PlayRecord.dat")), 60000);
    QTest::qWait(1000);
    {
        OnCompositor compositor;
        const QString problem
            = videoProblem(shown, m_artefacts + QStringLiteral("/4-playing-1.png"),
                m_artefacts + QStringLiteral("/4-playing-2.png"));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // Dragged by its title bar: weston moves it.
    const QPoint grab = shown + QPoint(400, 15);
    const QPoint by(-150, 180);
    {
        OnCompositor compositor;
        xdotool({ "mousemove", QString::number(grab.x()), QString::number(grab.y()) });
        QTest::qWait(300);
        xdotool({ "mousedown", "1" });
        for (int step = 1; step <= 10; ++step) {
            const QPoint at = grab + by * step / 10;
            xdotool({ "mousemove", QString::number(at.x()), QString::number(at.y()) });
            QTest::qWait(50);
        }
        xdotool({ "mouseup", "1" });
    }
    // XWayland learns the new place from weston, so both follow the drag
    // with some delay; waited for until weston shows it where it was dragged.
    QPoint moved;
    QPoint shownMoved;
    QDeadlineTimer deadline(60000);
    do {
        QTest::qWait(500);
        moved = findWindow(pid, MainWindowSize, 10000);
        {
            OnCompositor compositor;
            shot = screenshot(m_artefacts + QStringLiteral("/5-dragged.png"));
        }
        shownMoved = shownAt(id, moved, shot, MainWindowSize);
    } while ((shownMoved - (shown + by)).manhattanLength() > 4 && !deadline.hasExpired());
    QVERIFY2((shownMoved - (shown + by)).manhattanLength() <= 4,
        qPrintable(QStringLiteral("shown at %1,%2 after the drag, from %3,%4")
                       .arg(shownMoved.x())
                       .arg(shownMoved.y())
                       .arg(shown.x())
                       .arg(shown.y())));

    // Full screen with a double click on the video.
    const QPoint video = shownMoved + QPoint(MainWindowSize.width() / 2, 250);
    {
        OnCompositor compositor;
        xdotool({ "mousemove", QString::number(video.x()), QString::number(video.y()), "click",
            "--repeat", "2", "--delay", "80", "1" });
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        run(QStringLiteral("xdotool"), { "getwindowgeometry", id }).endsWith("1600x1000"), 30000);
    // Weston redraws the enlarged window some time after the resize.
    int coloured = 0;
    deadline.setRemainingTime(60000);
    do {
        QTest::qWait(1000);
        {
            OnCompositor compositor;
            shot = screenshot(m_artefacts + QStringLiteral("/6-full-screen.png"));
        }
        coloured = 0;
        for (int x = 0; x < 1600; x += 16)
            coloured += QColor(shot.pixel(x, 500)).saturation() > 120 ? 1 : 0;
    } while (coloured <= 20 && !deadline.hasExpired());
    QVERIFY2(coloured > 20, "no full-screen video picture");

    stopTavrion(tavrion);
}

QTEST_GUILESS_MAIN(TestWaylandRoad)
#include "tst_waylandroad.moc"
