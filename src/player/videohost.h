#pragma once

#include <QOpenGLWidget>
#include <QPointer>
#include <QTimer>

struct mpv_handle;
struct mpv_render_context;

// Draws the engine's picture with mpv's render API. It fills the page it is
// put on and reports its own input as window messages (see windowmessage.h)
// instead of acting on it, plus a hover report 5000 ms after the last move.
class VideoHost : public QOpenGLWidget
{
    Q_OBJECT

public:
    VideoHost(mpv_handle *mpv, QWidget *page);
    ~VideoHost() override;

    // Sets up the GL resources now when the host has never been shown, so
    // that mpv's video output can start while the page is hidden.
    void prepare();
    // Frees the render context; must run before the mpv handle is destroyed.
    void releaseRenderContext();

    static constexpr int HoverDelayMs = 5000;

signals:
    void message(int message, int wParam, int lParam);

protected:
    void initializeGL() override;
    void paintGL() override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private slots:
    void hoverTimer_timeout();
    void renderContext_update();

private:
    static void renderUpdate(void *host);
    void reportMouse(int message, QMouseEvent *event);
    void render(bool skip);

    mpv_handle *m_mpv;
    mpv_render_context *m_render = nullptr;
    QPointer<QWidget> m_page;
    QTimer m_hoverTimer;
};
