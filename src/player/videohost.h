#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QKeyEvent;
class QMouseEvent;
class QOpenGLContext;
class QWindow;
struct mpv_handle;
struct mpv_render_context;

// Shows the engine's picture: mpv's render API draws straight into the
// default framebuffer of a native child window with a GL context of its own,
// one swap per frame, with no copy through an offscreen buffer. The host
// fills the page it is put on and reports the input the window gets as
// window messages (see windowmessage.h) instead of acting on it, plus a hover
// report 5000 ms after the last move.
class VideoHost : public QWidget
{
    Q_OBJECT

public:
    VideoHost(mpv_handle *mpv, QWidget *page);
    ~VideoHost() override;

    // Sets up the window and the render context now, even while the page is
    // hidden, so that mpv's video output can start before the page shows.
    void prepare();
    // Frees the render context; must run before the mpv handle is destroyed.
    void releaseRenderContext();
    // The native window mpv draws into.
    QWindow *surface() const { return m_surface; }
    // Frames drawn and swapped onto the screen since the host was made.
    quint64 framesShown() const { return m_framesShown; }

    static constexpr int HoverDelayMs = 5000;

signals:
    void message(int message, int wParam, int lParam);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void hoverTimer_timeout();
    void renderContext_update();

private:
    static void renderUpdate(void *host);
    bool surfaceEvent(QEvent *event);
    void reportMouse(int message, QMouseEvent *event);
    void reportKey(QKeyEvent *event);
    void fitSurface();
    bool createRenderContext();
    void draw(bool skip);

    mpv_handle *m_mpv;
    mpv_render_context *m_render = nullptr;
    QPointer<QWidget> m_page;
    QWindow *m_surface; // owned by the container
    QWidget *m_container;
    std::unique_ptr<QOpenGLContext> m_context;
    QTimer m_hoverTimer;
    quint64 m_framesShown = 0;
};
