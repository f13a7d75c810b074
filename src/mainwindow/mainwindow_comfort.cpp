// Comforts beside the playback controller: the address renewal of files that
// stop mid-play, the cached band and the time under the pointer on the
// progress slider, and short notices drawn on the picture.

#include "mainwindow/mainwindow.h"

#include "mainwindow/playtime.h"
#include "player/aplayercontrol.h"
#include "player/playbackcomfort.h"
#include "player/playerengine.h"
#include "resource/videofileresolver.h"
#include "ui_mainwindow.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QToolTip>

#include <functional>

namespace {

const int NoticeTime = 1000;

// Hands the events of the watched objects to a function first.
class EventTap : public QObject
{
public:
    using Handler = std::function<void(QObject *, QEvent *)>;
    EventTap(Handler handler, QObject *parent)
        : QObject(parent)
        , m_handler(std::move(handler))
    {
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        m_handler(watched, event);
        return false;
    }

private:
    Handler m_handler;
};

// The groove of the playing style with the cached stretches drawn lighter;
// the played part covers it from the left.
QString bandedProgressStyle(const QVector<QPair<int, int>> &ranges, int duration)
{
    const QString dark = QStringLiteral("rgb(64, 72, 77)");
    const QString light = QStringLiteral("rgb(120, 132, 140)");
    QStringList stops { QStringLiteral("stop:0 %1").arg(dark) };
    double last = 0;
    for (const auto &range : ranges) {
        const double start = qBound(last, double(range.first) / duration, 1.0);
        const double end = qBound(start, double(range.second) / duration, 1.0);
        if (end - start < 0.002)
            continue;
        stops << QStringLiteral("stop:%1 %2").arg(qMax(last, start - 0.0001)).arg(dark)
              << QStringLiteral("stop:%1 %2").arg(start).arg(light)
              << QStringLiteral("stop:%1 %2").arg(end).arg(light)
              << QStringLiteral("stop:%1 %2").arg(qMin(1.0, end + 0.0001)).arg(dark);
        last = qMin(1.0, end + 0.0001);
    }
    stops << QStringLiteral("stop:1 %1").arg(last < 1.0 ? dark : light);
    return QStringLiteral(
        "QSlider::groove:horizontal { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, %1); "
        "height: 4px; margin: 0px 4px; }"
        "QSlider::sub-page:horizontal { background: rgb(29, 150, 232); }"
        "QSlider::add-page:horizontal { background: transparent; }"
        "QSlider::handle:horizontal { image: "
        "url(:/MainWindow/BottomBar/PlayProgressSliderHandle.png); "
        "width: 14px; height: 14px; margin: -5px; }")
        .arg(stops.join(QStringLiteral(", ")));
}

} // namespace

void MainWindow::setUpComfort()
{
    m_comfort = new PlaybackComfort(m_player, this);
    // Renewal asks the service again with reload on; the record already
    // knows its size, so the parse dialog's steps are enough.
    m_comfort->setAddressRenewer([](const QSharedPointer<VideoFileInfo> &file) {
        QObject lifeline;
        return VideoFileResolver::resolve(
            file, &lifeline, true, VideoFileResolver::ParseDialogPlay);
    });
    connect(m_comfort, &PlaybackComfort::renewalFailed, this, [this] {
        auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("提示"),
            QStringLiteral("网络连接中断，重新获取播放地址失败，播放已停止。"), QMessageBox::Ok,
            this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    connect(m_comfort, &PlaybackComfort::bufferedRangesChanged, this,
        [this](const QVector<QPair<int, int>> &ranges, int duration) {
            if (!isFileActive())
                return;
            if (ranges.isEmpty() || duration <= 0)
                setPlayingProgressStyle();
            else
                ui->playProgressSlider->setStyleSheet(bandedProgressStyle(ranges, duration));
        });

    connect(ui->volumeControlSlider, &QSlider::valueChanged, this,
        [this](int value) { showNotice(QStringLiteral("音量 %1%").arg(value)); });
    connect(m_player, &APlayerControl::onStateChanged, this, [this](int oldState, int newState) {
        if (newState == APlayerControl::Paused)
            showNotice(QStringLiteral("暂停"));
        else if (oldState == APlayerControl::Paused && newState == APlayerControl::Starting)
            showNotice(QStringLiteral("播放"));
    });

    ui->playProgressSlider->setMouseTracking(true);
    auto *tap = new EventTap(
        [this](QObject *watched, QEvent *event) {
            if (watched == ui->playProgressSlider)
                progressHover(event);
            else if (event->type() == QEvent::KeyPress)
                seekNotice(static_cast<QKeyEvent *>(event)->key());
        },
        this);
    ui->playProgressSlider->installEventFilter(tap);
    installEventFilter(tap);
}

void MainWindow::showNotice(const QString &text)
{
    if (isFileActive() && m_player->engine())
        m_player->engine()->showNotice(text, NoticeTime);
}

void MainWindow::seekNotice(int key)
{
    if (key != Qt::Key_Left && key != Qt::Key_Right)
        return;
    // Shown once the key has moved the slider.
    QTimer::singleShot(0, this, [this] {
        const int state = m_player->state();
        if (state < APlayerControl::Pausing || state > APlayerControl::Playing)
            return;
        showNotice(QStringLiteral("%1 / %2").arg(
            formatPlayTime(ui->playProgressSlider->value()), formatPlayTime(m_player->duration())));
    });
}

void MainWindow::progressHover(QEvent *event)
{
    QSlider *slider = ui->playProgressSlider;
    if (event->type() == QEvent::Leave) {
        QToolTip::hideText();
        return;
    }
    if (event->type() != QEvent::MouseMove || !isFileActive() || slider->maximum() <= 0)
        return;
    const auto *move = static_cast<QMouseEvent *>(event);
    // Same mapping as a click on the slider: 4-pixel ends.
    const double span = qMax(1, slider->width() - 8);
    const int value
        = qBound(0, int((move->pos().x() - 4) / span * slider->maximum()), slider->maximum());
    QToolTip::showText(slider->mapToGlobal(QPoint(move->pos().x(), -28)), formatPlayTime(value),
        slider, QRect(), 2000);
}
