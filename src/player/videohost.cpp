#include "player/videohost.h"

#include "player/windowmessage.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPainter>
#include <QPlatformSurfaceEvent>
#include <QWindow>

#include <mpv/render_gl.h>

#include <algorithm>

namespace {
// Whether OpenGL here runs on the CPU. There mpv's GL renderer costs far
// more than its software scaler, which is what players without a GPU use.
bool softwareOpenGl()
{
    const QByteArray forced = qgetenv("TAVRION_VIDEO_RENDER");
    if (forced == "opengl" || forced == "software") {
        return forced == "software";
    }
    static const bool software = [] {
        QOffscreenSurface surface;
        surface.create();
        QOpenGLContext context;
        if (!context.create() || !context.makeCurrent(&surface)) {
            return true;
        }
        const QByteArray renderer = QByteArray(
            reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER)))
                                        .toLower();
        context.doneCurrent();
        return renderer.contains("llvmpipe") || renderer.contains("softpipe")
            || renderer.contains("swrast");
    }();
    return software;
}

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
    : QWidget(page)
    , m_mpv(mpv)
    , m_page(page)
    , m_surface(new QWindow)
    , m_software(softwareOpenGl())
{
    setObjectName(QStringLiteral("videoHost"));
    m_surface->setSurfaceType(m_software ? QSurface::RasterSurface : QSurface::OpenGLSurface);
    m_surface->setCursor(page->cursor());
    m_surface->installEventFilter(this);
    m_container = QWidget::createWindowContainer(m_surface, this);
    m_container->setObjectName(QStringLiteral("videoSurface"));
    // A native container takes the window as a child of its own native
    // window, inside the page's, so that native widgets placed on the page
    // above the host (the full-screen bars) stack above the video. Otherwise
    // the window would be a child of the top-level window, above the page.
    m_container->setAttribute(Qt::WA_DontCreateNativeAncestors);
    m_container->winId();
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
    m_surface->removeEventFilter(this);
    releaseRenderContext();
}

void VideoHost::releaseRenderContext()
{
    if (!m_render) {
        return;
    }
    if (m_software) {
        mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
        mpv_render_context_free(m_render);
        m_render = nullptr;
        m_store.reset();
        return;
    }
    // mpv frees its GL objects, which needs the context current; the window
    // may already have lost its native surface, a stand-in does as well.
    QOffscreenSurface standIn;
    if (!m_surface->handle()) {
        standIn.setFormat(m_context->format());
        standIn.create();
    }
    m_context->makeCurrent(m_surface->handle() ? static_cast<QSurface *>(m_surface) : &standIn);
    mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
    mpv_render_context_free(m_render);
    m_render = nullptr;
    m_context->doneCurrent();
}

bool VideoHost::createRenderContext()
{
    if (m_render) {
        return true;
    }
    if (!m_mpv) {
        return false;
    }
    if (!m_surface->handle()) {
        // Before the page is first shown the window still waits for its
        // container; give it its final parent now so it can be created.
        m_surface->setParent(m_container->windowHandle());
        m_surface->create();
    }
    if (m_software) {
        mpv_render_param params[] = {
            { MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_SW) },
            { MPV_RENDER_PARAM_INVALID, nullptr },
        };
        if (mpv_render_context_create(&m_render, m_mpv, params) < 0) {
            m_render = nullptr;
            return false;
        }
        m_store = std::make_unique<QBackingStore>(m_surface);
        mpv_render_context_set_update_callback(m_render, &VideoHost::renderUpdate, this);
        return true;
    }
    if (!m_context) {
        m_context = std::make_unique<QOpenGLContext>();
        m_context->setFormat(m_surface->requestedFormat());
        if (!m_context->create()) {
            m_context.reset();
            return false;
        }
    }
    if (!m_context->makeCurrent(m_surface)) {
        return false;
    }
    mpv_opengl_init_params glParams { &procAddress, nullptr };
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_OPENGL) },
        { MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glParams },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    if (mpv_render_context_create(&m_render, m_mpv, params) < 0) {
        m_render = nullptr;
        return false;
    }
    mpv_render_context_set_update_callback(m_render, &VideoHost::renderUpdate, this);
    return true;
}

void VideoHost::prepare()
{
    createRenderContext();
}

void VideoHost::draw(bool skip)
{
    if (createRenderContext() && (m_software ? drawSoftware(skip) : drawOpenGl(skip)) && !skip) {
        ++m_framesShown;
    }
}

bool VideoHost::drawOpenGl(bool skip)
{
    if (!m_context->makeCurrent(m_surface)) {
        return false;
    }
    const qreal ratio = m_surface->devicePixelRatio();
    mpv_opengl_fbo fbo { int(m_context->defaultFramebufferObject()),
        int(m_surface->width() * ratio), int(m_surface->height() * ratio), 0 };
    int flipY = 1;
    int skipRendering = skip ? 1 : 0;
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_OPENGL_FBO, &fbo },
        { MPV_RENDER_PARAM_FLIP_Y, &flipY },
        { MPV_RENDER_PARAM_SKIP_RENDERING, &skipRendering },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    mpv_render_context_render(m_render, params);
    if (!skip) {
        m_context->swapBuffers(m_surface);
    }
    return true;
}

bool VideoHost::drawSoftware(bool skip)
{
    char format[] = "bgr0"; // QImage::Format_RGB32 in memory order
    if (QSysInfo::ByteOrder == QSysInfo::BigEndian) {
        qstrcpy(format, "0rgb");
    }
    const auto render = [this, &format, skip](QImage *target, QSize pixels) {
        // A skipped frame is taken without touching the target.
        alignas(64) quint32 scratch[16];
        int size[2] = { 1, 1 };
        size_t stride = sizeof scratch;
        void *pointer = scratch;
        if (target) {
            size[0] = std::min(pixels.width(), target->width());
            size[1] = std::min(pixels.height(), target->height());
            stride = size_t(target->bytesPerLine());
            pointer = target->bits();
        }
        int skipRendering = skip ? 1 : 0;
        mpv_render_param params[] = {
            { MPV_RENDER_PARAM_SW_SIZE, size },
            { MPV_RENDER_PARAM_SW_FORMAT, format },
            { MPV_RENDER_PARAM_SW_STRIDE, &stride },
            { MPV_RENDER_PARAM_SW_POINTER, pointer },
            { MPV_RENDER_PARAM_SKIP_RENDERING, &skipRendering },
            { MPV_RENDER_PARAM_INVALID, nullptr },
        };
        mpv_render_context_render(m_render, params);
    };
    const QRect area(QPoint(0, 0), m_surface->size());
    if (skip || area.isEmpty()) {
        render(nullptr, {});
        return !area.isEmpty();
    }
    // Lines of a multiple of 64 bytes let the scaler write them in place.
    const QSize storeSize((area.width() + 15) / 16 * 16, area.height());
    if (m_store->size() != storeSize) {
        m_store->resize(storeSize);
    }
    const QSize pixels = area.size() * m_surface->devicePixelRatio();
    m_store->beginPaint(area);
    auto *image = dynamic_cast<QImage *>(m_store->paintDevice());
    // The backing store of a 24-bit display holds the pixels mpv writes;
    // another format takes a copy through m_frame.
    if (image && image->format() == QImage::Format_RGB32) {
        render(image, pixels);
    } else {
        if (m_frame.size() != pixels) {
            m_frame = QImage(pixels, QImage::Format_RGB32);
        }
        render(&m_frame, pixels);
        QPainter painter(m_store->paintDevice());
        painter.drawImage(area, m_frame);
    }
    m_store->endPaint();
    m_store->flush(area);
    return true;
}

void VideoHost::renderUpdate(void *host)
{
    // Called on one of mpv's threads: only ask the GUI thread to draw.
    QMetaObject::invokeMethod(
        static_cast<VideoHost *>(host), "renderContext_update", Qt::QueuedConnection);
}

void VideoHost::renderContext_update()
{
    if (!m_render || !(mpv_render_context_update(m_render) & MPV_RENDER_UPDATE_FRAME)) {
        return;
    }
    // While the window is hidden or minimised the frame is taken without
    // drawing: mpv's output keeps pace with playback, and nothing waits for
    // a window nobody sees.
    draw(!m_surface->isExposed());
}

void VideoHost::fitSurface()
{
    m_container->setGeometry(rect());
    m_surface->setGeometry(QRect(QPoint(0, 0), size()));
}

void VideoHost::showEvent(QShowEvent *event)
{
    // The container places its window wrongly until it has been shown once.
    fitSurface();
    QWidget::showEvent(event);
}

bool VideoHost::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_surface) {
        return surfaceEvent(event);
    }
    if (watched == m_page) {
        if (event->type() == QEvent::Resize) {
            setGeometry(m_page->rect());
            fitSurface();
        } else if (event->type() == QEvent::CursorChange) {
            // The page's cursor (hidden after the hover report) must show on
            // the video window, which the pointer is really over.
            m_surface->setCursor(m_page->cursor());
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool VideoHost::surfaceEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Expose:
    case QEvent::Resize:
        if (m_surface->isExposed()) {
            draw(false);
        }
        return false;
    case QEvent::PlatformSurface:
        if (static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType()
            == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed) {
            releaseRenderContext();
        }
        return false;
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        // A click gives the video the keyboard, as it would a widget that
        // takes focus by click; keys then come to this window.
        if (QGuiApplication::focusWindow() != m_surface) {
            m_surface->requestActivate();
        }
        // The press that completes a double click is followed by a double
        // click event; like the window messages, report only that one.
        if (mouse->button() == Qt::LeftButton
            && !(mouse->flags() & Qt::MouseEventCreatedDoubleClick)) {
            reportMouse(WindowMessage::LeftButtonDown, mouse);
        }
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            reportMouse(WindowMessage::LeftButtonUp, mouse);
        } else if (mouse->button() == Qt::RightButton) {
            reportMouse(WindowMessage::RightButtonUp, mouse);
        }
        return true;
    }
    case QEvent::MouseButtonDblClick: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            reportMouse(WindowMessage::LeftButtonDoubleClick, mouse);
        }
        return true;
    }
    case QEvent::MouseMove:
        m_hoverTimer.start();
        reportMouse(WindowMessage::MouseMove, static_cast<QMouseEvent *>(event));
        return true;
    case QEvent::KeyPress:
        reportKey(static_cast<QKeyEvent *>(event));
        return true;
    case QEvent::Leave:
        // The hover report is about the pointer resting on the video.
        m_hoverTimer.stop();
        return false;
    default:
        return false;
    }
}

void VideoHost::reportMouse(int message, QMouseEvent *event)
{
    // The window fills the host, so its coordinates are the host's.
    const QPoint point = m_page ? mapTo(m_page, event->pos()) : event->pos();
    emit this->message(message, mouseFlags(event), WindowMessage::pointParam(point.x(), point.y()));
}

void VideoHost::reportKey(QKeyEvent *event)
{
    const int key = virtualKey(event);
    if (key != 0) {
        emit message(WindowMessage::KeyDown, key, 0);
    }
}

void VideoHost::hoverTimer_timeout()
{
    emit message(WindowMessage::MouseHover, 0, 0);
}
