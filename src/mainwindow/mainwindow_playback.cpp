// The playback controller: the play page, the bottom bar's controls and the
// keys and clicks that drive the engine.

#include "mainwindow/mainwindow.h"

#include "app/appsettings.h"
#include "mainwindow/playtime.h"
#include "player/aplayercontrol.h"
#include "player/windowmessage.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>

namespace {

// Volume the mute button restores; the slider's maximum until first used.
int g_mutedVolume = -1;

const char kIdleProgressStyle[] = "QSlider::groove:horizontal { background: rgb(64, 72, 77); "
                                  "height: 4px; margin: 0px 4px; }"
                                  "QSlider::handle:horizontal { background: transparent; "
                                  "width: 0px; }";

const char kPlayingProgressStyle[]
    = "QSlider::groove:horizontal { background: transparent; height: 4px; margin: 0px 4px; }"
      "QSlider::sub-page:horizontal { background: rgb(29, 150, 232); }"
      "QSlider::add-page:horizontal { background: rgb(64, 72, 77); }"
      "QSlider::handle:horizontal { image: "
      "url(:/MainWindow/BottomBar/PlayProgressSliderHandle.png); "
      "width: 14px; height: 14px; margin: -5px; }";

QString imageButtonStyle(const QString &normal, const QString &hover)
{
    return QStringLiteral("QPushButton { border: none; border-image: url(%1); }"
                          "QPushButton:hover { border-image: url(%2); }")
        .arg(normal, hover);
}

bool isPlayingOrPaused(int state)
{
    return state >= APlayerControl::Pausing && state <= APlayerControl::Playing;
}

int qtKeyOf(int virtualKey)
{
    switch (virtualKey) {
    case VirtualKey::Escape:
        return Qt::Key_Escape;
    case VirtualKey::Space:
        return Qt::Key_Space;
    case VirtualKey::Left:
        return Qt::Key_Left;
    case VirtualKey::Up:
        return Qt::Key_Up;
    case VirtualKey::Right:
        return Qt::Key_Right;
    case VirtualKey::Down:
        return Qt::Key_Down;
    default:
        return 0;
    }
}

} // namespace

bool MainWindow::isFileActive() const
{
    const int state = m_player->state();
    return state != APlayerControl::Ready && state != APlayerControl::Closing;
}

void MainWindow::startProgressTimer()
{
    // Never two at once: a timer started by a drag while paused would
    // otherwise be orphaned when playback resumes.
    stopProgressTimer();
    m_progressTimerId = startTimer(1000, Qt::CoarseTimer);
}

void MainWindow::stopProgressTimer()
{
    if (m_progressTimerId != 0)
        killTimer(m_progressTimerId);
    m_progressTimerId = 0;
}

void MainWindow::setStartLook()
{
    ui->playPausePushButton->setStyleSheet(
        imageButtonStyle(QStringLiteral(":/MainWindow/BottomBar/StartPlayPushButton_Normal.png"),
            QStringLiteral(":/MainWindow/BottomBar/StartPlayPushButton_Hover.png")));
    ui->playPausePushButton->setToolTip(QStringLiteral("播放"));
}

void MainWindow::setPauseLook()
{
    ui->playPausePushButton->setStyleSheet(
        imageButtonStyle(QStringLiteral(":/MainWindow/BottomBar/PausePlayPushButton_Normal.png"),
            QStringLiteral(":/MainWindow/BottomBar/PausePlayPushButton_Hover.png")));
    ui->playPausePushButton->setToolTip(QStringLiteral("暂停"));
}

void MainWindow::setMuteLook(int volume)
{
    const QString image = volume == 0
        ? QStringLiteral(":/MainWindow/BottomBar/ToggleMutePushButton_On.png")
        : QStringLiteral(":/MainWindow/BottomBar/ToggleMutePushButton_Off.png");
    ui->toggleMutePushButton->setStyleSheet(imageButtonStyle(image, image));
    ui->toggleMutePushButton->setToolTip(
        volume == 0 ? QStringLiteral("取消禁音") : QStringLiteral("禁音"));
}

void MainWindow::setIdleProgressStyle()
{
    ui->playProgressSlider->setStyleSheet(QLatin1String(kIdleProgressStyle));
}

void MainWindow::setPlayingProgressStyle()
{
    ui->playProgressSlider->setStyleSheet(QLatin1String(kPlayingProgressStyle));
}

void MainWindow::aplayerControl_onOpenSucceeded()
{
    ui->stackedWidget->setCurrentWidget(ui->playPage);
    setPlayingProgressStyle();
    const int duration = m_player->duration();
    ui->playProgressSlider->setMaximum(duration);
    ui->playTimeLabel->setText(QStringLiteral("00:00:00/%1").arg(formatPlayTime(duration)));
    ui->playStateLabel->clear();
    if (isFullScreen()) {
        moveBarsTo(ui->playPage);
        placeOverlayBars();
    }
    m_player->setVolume(ui->volumeControlSlider->value());
    applyOptionsOnOpen();
}

void MainWindow::aplayerControl_onStateChanged(int oldState, int newState)
{
    if (oldState == APlayerControl::Ready && newState == APlayerControl::Opening) {
        ui->playTimeLabel->setText(QStringLiteral("00:00:00/00:00:00"));
        ui->playStateLabel->setText(QStringLiteral("正在打开..."));
    } else if (oldState == APlayerControl::Pausing && newState == APlayerControl::Paused) {
        stopProgressTimer();
        setStartLook();
    } else if (oldState == APlayerControl::Starting && newState == APlayerControl::Playing) {
        startProgressTimer();
        setPauseLook();
        ui->playStateLabel->clear();
    } else if ((oldState == APlayerControl::Closing || oldState == APlayerControl::Opening)
        && newState == APlayerControl::Ready) {
        // A file the engine could not open also brings back the idle look:
        // nothing else would ever clear "正在打开...".
        stopProgressTimer();
        ui->stackedWidget->setCurrentWidget(ui->mainPage);
        setIdleProgressStyle();
        ui->playProgressSlider->setValue(0);
        setStartLook();
        ui->playTimeLabel->clear();
        ui->playStateLabel->clear();
        if (isFullScreen()) {
            moveBarsTo(ui->mainPage);
            placeOverlayBars();
        }
    }
}

void MainWindow::aplayerControl_onBuffer(int percent)
{
    if (percent == 100)
        ui->playStateLabel->clear();
    else
        ui->playStateLabel->setText(QStringLiteral("正在缓冲%1%...").arg(percent));
}

void MainWindow::playProgressSlider_valueChanged(int value)
{
    if (!isFileActive())
        return;
    ui->playTimeLabel->setText(
        QStringLiteral("%1/%2").arg(formatPlayTime(value), formatPlayTime(m_player->duration())));
}

void MainWindow::playProgressSlider_sliderPressed()
{
    if (!isFileActive())
        return;
    stopProgressTimer();
    m_pressedPosition = ui->playProgressSlider->value();
}

void MainWindow::playProgressSlider_sliderReleased()
{
    if (!isFileActive())
        return;
    startProgressTimer();
    const int value = ui->playProgressSlider->value();
    if (value != m_pressedPosition)
        m_player->setPosition(value);
}

void MainWindow::playPausePushButton_clicked()
{
    const int state = m_player->state();
    if (state == APlayerControl::Starting || state == APlayerControl::Playing)
        m_player->pause();
    else if (state == APlayerControl::Pausing || state == APlayerControl::Paused)
        m_player->play();
}

void MainWindow::stopPlayPushButton_clicked()
{
    if (isFileActive())
        m_player->close();
}

void MainWindow::volumeControlSlider_valueChanged(int value)
{
    setMuteLook(value);
    if (isFileActive())
        m_player->setVolume(value);
}

void MainWindow::volumeControlSlider_sliderPressed()
{
    m_pressedVolume = ui->volumeControlSlider->value();
}

void MainWindow::volumeControlSlider_sliderReleased()
{
    const int value = ui->volumeControlSlider->value();
    if (value != m_pressedVolume)
        AppSettings::instance()->setVolume(value);
}

void MainWindow::toggleMutePushButton_clicked()
{
    QSlider *slider = ui->volumeControlSlider;
    if (g_mutedVolume < 0)
        g_mutedVolume = slider->maximum();
    if (slider->value() != 0) {
        g_mutedVolume = slider->value();
        slider->setValue(0);
    } else {
        slider->setValue(g_mutedVolume);
    }
}

bool MainWindow::playbackKey(QKeyEvent *event)
{
    QSlider *volume = ui->volumeControlSlider;
    QSlider *progress = ui->playProgressSlider;
    switch (event->key()) {
    case Qt::Key_Up:
        volume->setValue(
            volume->value() + 5 > volume->maximum() ? volume->maximum() : volume->value() + 5);
        return true;
    case Qt::Key_Down:
        volume->setValue(
            volume->value() - 5 < volume->minimum() ? volume->minimum() : volume->value() - 5);
        return true;
    case Qt::Key_Left:
        if (isPlayingOrPaused(m_player->state())) {
            const int p = progress->value() < progress->minimum() + 5000 ? progress->minimum()
                                                                         : progress->value() - 5000;
            progress->setValue(p);
            m_player->setPosition(p);
        }
        return true;
    case Qt::Key_Right:
        if (isPlayingOrPaused(m_player->state())) {
            const int p = progress->value() > progress->maximum() - 5000 ? progress->maximum()
                                                                         : progress->value() + 5000;
            progress->setValue(p);
            m_player->setPosition(p);
        }
        return true;
    case Qt::Key_Space:
        if (isPlayingOrPaused(m_player->state()))
            playPausePushButton_clicked();
        return true;
    case Qt::Key_Escape:
        if (isFullScreen())
            leaveFullScreen();
        return true;
    default:
        return false;
    }
}

bool MainWindow::sliderPress(QSlider *slider, QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return false;
    const bool progress = slider == ui->playProgressSlider;
    if (progress && !isFileActive())
        return false;

    const double w = slider->width();
    const double max = slider->maximum();
    const double v = slider->value();
    const double target = (event->pos().x() - 4) / (w - 8) * max;
    const double tolerance = max * (10 / (w - 8));
    if (target >= v - tolerance && target <= v + tolerance)
        return false;

    // A press on the 4-pixel ends would aim before the start or past the
    // end; the engine would read a negative position as counted from the end.
    const int value = qBound(slider->minimum(), int(target), slider->maximum());
    if (progress) {
        m_player->setPosition(value);
        slider->setValue(value);
    } else {
        slider->setValue(value);
        AppSettings::instance()->setVolume(value);
    }
    return true;
}

void MainWindow::postVideoMouseEvent(
    QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, int lParam)
{
    const QPointF local(WindowMessage::pointX(lParam), WindowMessage::pointY(lParam));
    const QPointF inWindow = ui->playPage->mapTo(this, local.toPoint());
    const QPointF global = ui->playPage->mapToGlobal(local.toPoint());
    QApplication::postEvent(ui->playPage,
        new QMouseEvent(type, local, inWindow, global, button, buttons, Qt::NoModifier));
}

void MainWindow::aplayerControl_onMessage(int message, int wParam, int lParam)
{
    switch (message) {
    case WindowMessage::KeyDown:
        if (const int key = qtKeyOf(wParam) ? qtKeyOf(wParam) : playExtrasKeyOf(wParam))
            QApplication::postEvent(this, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
        break;
    case WindowMessage::MouseMove:
        // The video host reports a hover after a quiet spell; any move shows
        // the pointer again.
        ui->playPage->setCursor(Qt::ArrowCursor);
        postVideoMouseEvent(QEvent::MouseMove, Qt::NoButton, Qt::NoButton, lParam);
        break;
    case WindowMessage::MouseHover:
        ui->playPage->setCursor(Qt::BlankCursor);
        break;
    case WindowMessage::LeftButtonDown:
        postVideoMouseEvent(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, lParam);
        break;
    case WindowMessage::LeftButtonUp:
        postVideoMouseEvent(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, lParam);
        break;
    case WindowMessage::LeftButtonDoubleClick:
        postVideoMouseEvent(QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton, lParam);
        break;
    case WindowMessage::RightButtonUp:
        postVideoMouseEvent(QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, lParam);
        break;
    default:
        break;
    }
}

bool MainWindow::videoMouseEvent(QMouseEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseMove:
        if (isFullScreen())
            updateOverlayBars(event->pos());
        break;
    case QEvent::MouseButtonPress:
        if (event->button() == Qt::LeftButton)
            m_videoDoubleClicked = false;
        break;
    case QEvent::MouseButtonRelease:
        if (event->button() == Qt::LeftButton) {
            // Waits to see whether this click is the first half of a double
            // click, which goes to full screen instead.
            if (isPlayingOrPaused(m_player->state())) {
                QTimer::singleShot(300, this, [this] {
                    if (!m_videoDoubleClicked)
                        playPausePushButton_clicked();
                });
            }
        } else if (event->button() == Qt::RightButton) {
            showContextMenu(ui->playPage, event->pos());
        }
        break;
    case QEvent::MouseButtonDblClick:
        if (event->button() == Qt::LeftButton) {
            m_videoDoubleClicked = true;
            fullScreenPushButton_clicked();
        }
        break;
    default:
        break;
    }
    return false;
}
