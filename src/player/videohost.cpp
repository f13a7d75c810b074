#include "player/videohost.h"

#include "player/windowmessage.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QOpenGLContext>

#include <mpv/render_gl.h>

namespace {
void *procAddress(void *, const char *name)
{
    QOpenGLContext *context = QOpenGLContext::currentContext();
    return context ? reinterpret_cast<void *>(context->getProcAddress(name)) : nullptr;
}

int virtualKey(const QKeyEvent *event)
{
    const int key = event->key();
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z)) {
        return key; // digits and letters share their codes with Qt
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) {
        return 0x70 + (key - Qt::Key_F1);
    }
    switch (key) {
    case Qt::Key_Backspace:
        return VirtualKey::Back;
    case Qt::Key_Tab:
        return VirtualKey::Tab;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VirtualKey::Return;
    case Qt::Key_Escape:
        return VirtualKey::Escape;
    case Qt::Key_Space:
        return VirtualKey::Space;
    case Qt::Key_PageUp:
        return VirtualKey::PageUp;
    case Qt::Key_PageDown:
        return VirtualKey::PageDown;
    case Qt::Key_End:
        return VirtualKey::End;
    case Qt::Key_Home:
        return VirtualKey::Home;
    case Qt::Key_Left:
        return VirtualKey::Left;
    case Qt::Key_Up:
        return VirtualKey::Up;
    case Qt::Key_Right:
        return VirtualKey::Right;
    case Qt::Key_Down:
        return VirtualKey::Down;
    case Qt::Key_Delete:
        return VirtualKey::Delete;
    default:
        return 0;
    }
}

int mouseFlags(const QMouseEvent *event)
{
    int flags = 0;
    if (event->buttons() & Qt::LeftButton) {
        flags |= WindowMessage::LeftButtonFlag;
    }
    if (event->buttons() & Qt::RightButton) {
        flags |= WindowMessage::RightButtonFlag;
    }
    if (event->buttons() & Qt::MiddleButton) {
        flags |= WindowMessage::MiddleButtonFlag;
    }
    if (event->modifiers() & Qt::ShiftModifier) {
        flags |= WindowMessage::ShiftFlag;
    }
    if (event->modifiers() & Qt::ControlModifier) {
        flags |= WindowMessage::ControlFlag;
    }
    return flags;
}
} // namespace

VideoHost::VideoHost(mpv_handle *mpv, QWidget *page)
    : QOpenGLWidget(page)
    , m_mpv(mpv)
    , m_page(page)
{
    setObjectName(QStringLiteral("videoHost"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    m_hoverTimer.setSingleShot(true);
    m_hoverTimer.setInterval(HoverDelayMs);
    connect(&m_hoverTimer, &QTimer::timeout, this, &VideoHost::hoverTimer_timeout);
    // Fill the page and stay below whatever the page shows over the video.
    setGeometry(page->rect());
    lower();
    page->installEventFilter(this);
}

VideoHost::~VideoHost()
{
    releaseRenderContext();
}

void VideoHost::releaseRenderContext()
{
    if (!m_render) {
        return;
    }
    makeCurrent();
    mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
    mpv_render_context_free(m_render);
    m_render = nullptr;
    doneCurrent();
}

void VideoHost::initializeGL()
{
    if (m_render || !m_mpv) {
        return;
    }
    mpv_opengl_init_params glParams { &procAddress, nullptr };
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_OPENGL) },
        { MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glParams },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    if (mpv_render_context_create(&m_render, m_mpv, params) < 0) {
        m_render = nullptr;
        return;
    }
    mpv_render_context_set_update_callback(m_render, &VideoHost::renderUpdate, this);
    // A new GL context (after the widget moved to another window) needs a
    // new render context; the old one goes while its context is current.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &VideoHost::releaseRenderContext,
        Qt::UniqueConnection);
}

void VideoHost::prepare()
{
    // QOpenGLWidget creates its context when first shown; grabbing a frame
    // makes it do so at once.
    if (!m_render) {
        grabFramebuffer();
    }
}

void VideoHost::paintGL()
{
    render(false);
}

void VideoHost::render(bool skip)
{
    if (!m_render) {
        return;
    }
    const qreal ratio = devicePixelRatioF();
    mpv_opengl_fbo fbo { int(defaultFramebufferObject()), int(width() * ratio),
        int(height() * ratio), 0 };
    int flipY = 1;
    int skipRendering = skip ? 1 : 0;
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_OPENGL_FBO, &fbo },
        { MPV_RENDER_PARAM_FLIP_Y, &flipY },
        { MPV_RENDER_PARAM_SKIP_RENDERING, &skipRendering },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    mpv_render_context_render(m_render, params);
}

void VideoHost::renderUpdate(void *host)
{
    // Called on one of mpv's threads: only ask the GUI thread to repaint.
    QMetaObject::invokeMethod(
        static_cast<VideoHost *>(host), "renderContext_update", Qt::QueuedConnection);
}

void VideoHost::renderContext_update()
{
    if (!m_render || !(mpv_render_context_update(m_render) & MPV_RENDER_UPDATE_FRAME)) {
        return;
    }
    if (isVisible() && !window()->isMinimized()) {
        update();
        return;
    }
    // Nothing paints a hidden widget, and mpv waits for every frame to be
    // taken: take it without drawing, or playback would stall until the
    // page is shown.
    makeCurrent();
    render(true);
    doneCurrent();
}

bool VideoHost::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_page && event->type() == QEvent::Resize) {
        setGeometry(m_page->rect());
    }
    return QOpenGLWidget::eventFilter(watched, event);
}

void VideoHost::reportMouse(int message, QMouseEvent *event)
{
    const QPoint point = m_page ? mapTo(m_page, event->pos()) : event->pos();
    emit this->message(message, mouseFlags(event), WindowMessage::pointParam(point.x(), point.y()));
    event->accept();
}

void VideoHost::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        reportMouse(WindowMessage::LeftButtonDown, event);
    }
    event->accept();
}

void VideoHost::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        reportMouse(WindowMessage::LeftButtonUp, event);
    } else if (event->button() == Qt::RightButton) {
        reportMouse(WindowMessage::RightButtonUp, event);
    }
    event->accept();
}

void VideoHost::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        reportMouse(WindowMessage::LeftButtonDoubleClick, event);
    }
    event->accept();
}

void VideoHost::mouseMoveEvent(QMouseEvent *event)
{
    m_hoverTimer.start();
    reportMouse(WindowMessage::MouseMove, event);
}

void VideoHost::keyPressEvent(QKeyEvent *event)
{
    const int key = virtualKey(event);
    if (key != 0) {
        emit message(WindowMessage::KeyDown, key, 0);
    }
    event->accept();
}

void VideoHost::contextMenuEvent(QContextMenuEvent *event)
{
    // The right button's release is reported as a message; the receiver
    // decides about a menu, the page must not get a second request.
    event->accept();
}

void VideoHost::leaveEvent(QEvent *event)
{
    // The hover report is about the pointer resting on the video.
    m_hoverTimer.stop();
    QOpenGLWidget::leaveEvent(event);
}

void VideoHost::hoverTimer_timeout()
{
    emit message(WindowMessage::MouseHover, 0, 0);
}
