#include "guitest.h"

#include "app/appsettings.h"
#include "mainwindow/mainwindow.h"
#include "player/mpvengine.h"

#include <QBuffer>
#include <QDate>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QtTest>

#include <mpv/client.h>

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QImage grabScreenArea(const QRect &area)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage();
}

void saveScreenshot(const QString &name, const QRect &area)
{
    const QRect whole = area.isEmpty() ? QRect(0, 0, -1, -1) : area;
    grabScreenArea(whole).save(artefactPath(name));
}

QString shownText(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

QString textFitProblem(QWidget *widget, const QString &text)
{
    widget->ensurePolished();
    const QFontMetrics metrics(widget->font());
    const QRect room = widget->contentsRect();
    const int width = metrics.horizontalAdvance(text);
    const int height = metrics.tightBoundingRect(text).height();
    if (width <= room.width() && height <= room.height())
        return {};
    return QStringLiteral("%1 needs %2 x %3, has %4 x %5")
        .arg(text)
        .arg(width)
        .arg(height)
        .arg(room.width())
        .arg(room.height());
}

APlayerControl::EngineFactory realEngine()
{
    return [] { return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } }); };
}

QString mpvString(const QByteArray &name, APlayerControl *control)
{
    auto *engine = dynamic_cast<MpvEngine *>(control->engine());
    char *text = mpv_get_property_string(engine->handle(), name.constData());
    const QString value = QString::fromUtf8(text);
    mpv_free(text);
    return value;
}

bool playUrl(APlayerControl *control, const QString &url)
{
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->url = url;
    return control->open(file)
        && QTest::qWaitFor([&] { return control->state() == APlayerControl::Playing; }, 15000);
}

bool stopPlaying(APlayerControl *control)
{
    control->close();
    return QTest::qWaitFor([&] { return control->state() == APlayerControl::Ready; }, 10000);
}

ModalCloser::ModalCloser()
{
    connect(&m_poll, &QTimer::timeout, this, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    m_poll.start(5);
}

MessageBoxRecorder::MessageBoxRecorder()
{
    connect(&m_poll, &QTimer::timeout, this, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.append(box->windowTitle() + QLatin1Char('|') + box->text());
        formats.append(box->textFormat());
        if (box->buttons().size() == 1)
            box->buttons().first()->click();
    });
    m_poll.start(5);
}

void showClosingModals(MainWindow *window)
{
    ModalCloser closer;
    window->show();
}

void startWithoutService()
{
    AppSettings::instance()->setServiceBaseAddress(QStringLiteral("http://127.0.0.1:9"));
    AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
}

StartedMainWindow::StartedMainWindow(APlayerControl::EngineFactory engines, const QPoint &at)
{
    AppSettings::initialize(QStringLiteral("Config.ini"));
    APlayerControl::setEngineFactory(std::move(engines));
    startWithoutService();
    m_window = std::make_unique<MainWindow>();
    m_window->move(at);
    showClosingModals(m_window.get());
}

StartedMainWindow::~StartedMainWindow()
{
    m_window.reset();
    delete APlayerControl::instance;
    APlayerControl::setEngineFactory({});
    AppSettings::release();
}
