#include "mainwindow/nextepisodecountdown.h"

#include "app/appsettings.h"
#include "player/aplayercontrol.h"
#include "player/nextepisode.h"
#include "resource/playresolvedfile.h"
#include "resource/videofileresolver.h"
#include "service/resourceendpoints.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace {

const int FailureShownFor = 5000;

} // namespace

NextEpisodeCountdown::NextEpisodeCountdown(APlayerControl *player, QWidget *area, QWidget *window,
    QAbstractButton *stopButton, QWidget *parent)
    : QWidget(parent)
    , m_player(player)
    , m_area(area)
    , m_titleLabel(new QLabel(this))
    , m_messageLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("nextEpisodeWidget"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral(
        "#nextEpisodeWidget { background: rgba(17, 28, 36, 235); border: 1px solid rgb(29, 150, "
        "232); border-radius: 4px; }"
        "QLabel { color: rgb(230, 230, 230); background: transparent; font-family: 微软雅黑; }"
        "#nextEpisodeTitleLabel { font-size: 11pt; }"
        "#messageLabel { color: rgb(170, 180, 188); font-size: 9pt; }"));
    m_titleLabel->setObjectName(QStringLiteral("nextEpisodeTitleLabel"));
    m_messageLabel->setObjectName(QStringLiteral("messageLabel"));
    for (QLabel *label : { m_titleLabel, m_messageLabel }) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignCenter);
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 12, 20, 12);
    layout->setSpacing(6);
    layout->addWidget(m_titleLabel);
    layout->addWidget(m_messageLabel);
    hide();

    m_lister = [](const QString &hash) { return getResourceFileList(hash).files; };
    m_starter = [](const QSharedPointer<VideoFileInfo> &file, QWidget *caller) {
        QLabel *label = caller->findChild<QLabel *>(QStringLiteral("messageLabel"));
        if (VideoFileResolver::resolve(file, label, false, VideoFileResolver::ParseDialogPlay))
            playResolvedFile(file, caller);
    };

    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, &NextEpisodeCountdown::tick);
    m_hideLater.setSingleShot(true);
    m_hideLater.setInterval(FailureShownFor);
    connect(&m_hideLater, &QTimer::timeout, this, &QWidget::hide);

    connect(m_player, &APlayerControl::onOpenSucceeded, this,
        &NextEpisodeCountdown::player_onOpenSucceeded);
    connect(m_player, &APlayerControl::onStateChanged, this,
        &NextEpisodeCountdown::player_onStateChanged);
    connect(
        m_player, &APlayerControl::onEndOfFile, this, &NextEpisodeCountdown::player_onEndOfFile);
    connect(stopButton, &QAbstractButton::clicked, this, &NextEpisodeCountdown::cancel);
    m_area->installEventFilter(this);
    window->installEventFilter(this);
}

void NextEpisodeCountdown::setFileLister(FileLister lister)
{
    m_lister = std::move(lister);
}

void NextEpisodeCountdown::setStarter(Starter starter)
{
    m_starter = std::move(starter);
}

void NextEpisodeCountdown::setCountdownSeconds(int seconds)
{
    m_seconds = qMax(1, seconds);
}

void NextEpisodeCountdown::player_onOpenSucceeded()
{
    ++m_generation;
    m_file = m_player->currentFile();
}

void NextEpisodeCountdown::player_onStateChanged(int oldState, int newState)
{
    Q_UNUSED(oldState);
    if (newState == APlayerControl::Opening) {
        ++m_generation;
        cancel();
    }
}

void NextEpisodeCountdown::player_onEndOfFile()
{
    const QSharedPointer<VideoFileInfo> ended = m_file;
    m_file.reset();
    AppSettings *settings = AppSettings::instance();
    if (!ended || (settings && !settings->isAutoPlayNext()))
        return;
    // The list is asked for outside the engine's signal: the request waits
    // in a local event loop.
    const int generation = m_generation;
    const QPointer<NextEpisodeCountdown> self(this);
    QTimer::singleShot(0, this, [self, ended, generation] {
        if (self && self->m_generation == generation)
            self->findNext(ended);
    });
}

void NextEpisodeCountdown::findNext(const QSharedPointer<VideoFileInfo> &ended)
{
    const int generation = m_generation;
    const QPointer<NextEpisodeCountdown> self(this);
    const QList<QSharedPointer<VideoFileInfo>> files = m_lister(ended->hash);
    if (!self || m_generation != generation || m_player->state() != APlayerControl::Ready)
        return;
    m_next = NextEpisode::after(files, ended->index);
    if (!m_next)
        return;
    m_hideLater.stop();
    m_left = m_seconds;
    m_titleLabel->setText(
        QStringLiteral("即将播放下一集：%1").arg(QFileInfo(m_next->name).fileName()));
    m_messageLabel->setText(QStringLiteral("%1 秒后开始播放，单击画面或按 Esc 取消").arg(m_left));
    place();
    show();
    raise();
    m_ticker.start();
    emit countdownStarted(m_next);
}

void NextEpisodeCountdown::tick()
{
    if (--m_left > 0) {
        m_messageLabel->setText(
            QStringLiteral("%1 秒后开始播放，单击画面或按 Esc 取消").arg(m_left));
        return;
    }
    m_ticker.stop();
    startNext();
}

void NextEpisodeCountdown::startNext()
{
    const QSharedPointer<VideoFileInfo> next = m_next;
    emit countdownFinished(next);
    m_titleLabel->setText(
        QStringLiteral("正在打开下一集：%1").arg(QFileInfo(next->name).fileName()));
    m_messageLabel->clear();
    place();
    const QPointer<NextEpisodeCountdown> self(this);
    m_starter(next, this);
    // Still shown: the file did not open, and the label says why.
    if (self && isVisible() && m_player->state() == APlayerControl::Ready)
        m_hideLater.start();
}

void NextEpisodeCountdown::cancel()
{
    if (!isCounting())
        return;
    m_ticker.stop();
    m_next.reset();
    hide();
    emit countdownCancelled();
}

void NextEpisodeCountdown::place()
{
    QWidget *over = parentWidget();
    adjustSize();
    const int width = qMin(qMax(sizeHint().width(), 360), over->width() - 20);
    resize(width, sizeHint().height());
    move((over->width() - width) / 2, over->height() - height() - 40);
}

bool NextEpisodeCountdown::eventFilter(QObject *watched, QEvent *event)
{
    if (isCounting()) {
        if (event->type() == QEvent::MouseButtonPress && watched == m_area)
            cancel();
        else if (event->type() == QEvent::KeyPress
            && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            cancel();
    }
    if (event->type() == QEvent::Resize && isVisible() && watched == m_area)
        place();
    return false;
}

void NextEpisodeCountdown::mousePressEvent(QMouseEvent *event)
{
    cancel();
    QWidget::mousePressEvent(event);
}
