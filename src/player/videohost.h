#pragma once

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QBackingStore;
class QKeyEvent;
class QMouseEvent;
class QOpenGLContext;
class QWindow;
struct mpv_handle;
struct mpv_render_context;

// Shows the engine's picture in a native child window. Where OpenGL is
// drawn by the GPU, mpv's render API draws straight into the window's default
// framebuffer with a GL context of its own, one swap per frame. Where OpenGL
// is Mesa's CPU renderer (or missing), mpv's software renderer scales and
// converts each frame into the window's backing store, which X shares with
// us, so a frame costs one conversion and no GL pipeline on the CPU. The
// environment variable TAVRION_VIDEO_RENDER=opengl or =software overrides the
// choice. The host fills the page it is put on and reports the input the
// window gets as window messages (see windowmessage.h) instead of acting on
// it, plus a hover report 5000 ms after the last move.
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
    // Whether frames are drawn by mpv's software renderer rather than OpenGL.
    bool drawsInSoftware() const { return m_software; }

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
    bool drawOpenGl(bool skip);
    bool drawSoftware(bool skip);

    mpv_handle *m_mpv;
    mpv_render_context *m_render = nullptr;
    QPointer<QWidget> m_page;
    QWindow *m_surface; // owned by the container
    QWidget *m_container;
    std::unique_ptr<QOpenGLContext> m_context;
    std::unique_ptr<QBackingStore> m_store;
    QImage m_frame; // the picture when the backing store has another format
    bool m_software;
    QTimer m_hoverTimer;
    quint64 m_framesShown = 0;
};
