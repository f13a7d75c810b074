#pragma once

#include "player/aplayercontrol.h"
#include "testdir.h"

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class MainWindow;

// The named child of `parent`; a missing one ends the run, as a renamed
// widget is a fault of the test rather than of the program.
template <class T> T *child(const QObject *parent, const char *name)
{
    T *widget = parent->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// The picture as the bytes of a PNG file, as a service sends pictures.
QByteArray pngBytes(const QImage &image);

// The screen's pixels in `area`.
QImage grabScreenArea(const QRect &area);
// Keeps the screen's pixels in `area` (the whole screen when empty) as a
// test artefact.
void saveScreenshot(const QString &name, const QRect &area = QRect());

// The text as a user sees it in a label, tool tip or box of this format.
QString shownText(const QString &text, Qt::TextFormat format);

// Empty when `text` fits the widget's contents in its font; else what it
// needs and what it has.
QString textFitProblem(QWidget *widget, const QString &text);

// Builds the real engine without sound output.
APlayerControl::EngineFactory realEngine();
// A property of the real engine behind `control`, as text.
QString mpvString(const QByteArray &name, APlayerControl *control = APlayerControl::instance);
// Opens `url` and waits until it plays; false when it does not in time.
bool playUrl(APlayerControl *control, const QString &url);
// Closes what plays and waits until the player is ready again.
bool stopPlaying(APlayerControl *control);

// Hands the first modal dialog of class T that opens while it lives to
// `act`, once.
template <class T> class WhenModal : public QObject
{
public:
    explicit WhenModal(std::function<void(T *)> act)
    {
        connect(&m_poll, &QTimer::timeout, this, [this, act] {
            if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
                m_poll.stop();
                act(dialog);
            }
        });
        m_poll.start(5);
    }

private:
    QTimer m_poll;
};

// Closes unanswered every modal dialog that opens while it lives: showing
// the main window while nobody is logged in asks for a login that way.
class ModalCloser : public QObject
{
public:
    ModalCloser();

private:
    QTimer m_poll;
};

// Answers every message box that opens with its only button and records
// it as "title|text".
class MessageBoxRecorder : public QObject
{
public:
    MessageBoxRecorder();
    QStringList boxes;
    QList<Qt::TextFormat> formats;

private:
    QTimer m_poll;
};

// Shows the main window (its own show, which runs the start's steps); the
// login dialog that may ask meanwhile is closed unanswered.
void showClosingModals(MainWindow *window);

// Settings of a start with no service behind it and the day's first start
// done: no notices, no popup.
void startWithoutService();

// The main window as a user starts it, without a service, in a fresh
// working folder with its own settings; the player builds its engines with
// `engines`. Gone with it: the window, the player and the settings.
class StartedMainWindow
{
public:
    explicit StartedMainWindow(
        APlayerControl::EngineFactory engines, const QPoint &at = QPoint(40, 40));
    ~StartedMainWindow();
    StartedMainWindow(const StartedMainWindow &) = delete;
    StartedMainWindow &operator=(const StartedMainWindow &) = delete;

    MainWindow *window() const { return m_window.get(); }
    const ScopedWorkingDirectory &work() const { return m_work; }

private:
    ScopedWorkingDirectory m_work;
    std::unique_ptr<MainWindow> m_window;
};

// Takes the addresses handed to the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};
