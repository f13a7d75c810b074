// Playback speed, screenshots and the choice of audio and subtitle tracks:
// keys on the window (also when pressed on the video), entries of the context
// menu while a file is open, and notices on the picture.

#include "mainwindow/mainwindow.h"

#include "mainwindow/nextepisodecountdown.h"
#include "player/aplayercontrol.h"
#include "player/playbackspeed.h"
#include "player/playerengine.h"
#include "player/screenshot.h"
#include "player/trackchoicestore.h"
#include "player/windowmessage.h"
#include "ui_mainwindow.h"

#include <QActionGroup>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>

namespace {

const int NoticeTime = 1500;
const int PathNoticeTime = 4000;
const int TimeLabelWidth = 130;

// Runs the window's extra keys before its own filter sees them.
class KeyTap : public QObject
{
public:
    KeyTap(std::function<bool(QKeyEvent *)> handler, QObject *parent)
        : QObject(parent)
        , m_handler(std::move(handler))
    {
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return watched == parent() && event->type() == QEvent::KeyPress
            && m_handler(static_cast<QKeyEvent *>(event));
    }

private:
    std::function<bool(QKeyEvent *)> m_handler;
};

QString timeText(const QString &labelText)
{
    return labelText.section(QLatin1Char(' '), 0, 0);
}

} // namespace

int MainWindow::playExtrasKeyOf(int virtualKey)
{
    // Letters share their codes with Qt's keys.
    switch (virtualKey) {
    case Qt::Key_C:
    case Qt::Key_X:
    case Qt::Key_Z:
    case Qt::Key_S:
        return virtualKey;
    default:
        return 0;
    }
}

void MainWindow::setUpPlayExtras()
{
    installEventFilter(new KeyTap([this](QKeyEvent *event) { return playExtrasKey(event); }, this));
    // After the controller's own slots, which write the label first.
    connect(
        ui->playProgressSlider, &QSlider::valueChanged, this, &MainWindow::showSpeedInTimeLabel);
    connect(m_player, &APlayerControl::onStateChanged, this, &MainWindow::showSpeedInTimeLabel);
    connect(m_player, &APlayerControl::onOpenSucceeded, this, &MainWindow::applyPlayExtrasOnOpen);
    new NextEpisodeCountdown(
        m_player, ui->mainPage, this, ui->stopPlayPushButton, ui->stackedWidget);
}

bool MainWindow::playExtrasKey(QKeyEvent *event)
{
    if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;
    switch (event->key()) {
    case Qt::Key_C:
        setPlaybackSpeed(PlaybackSpeed::faster(m_playbackSpeed));
        return true;
    case Qt::Key_X:
        setPlaybackSpeed(PlaybackSpeed::slower(m_playbackSpeed));
        return true;
    case Qt::Key_Z:
        setPlaybackSpeed(PlaybackSpeed::Normal);
        return true;
    case Qt::Key_S:
        takeScreenshot();
        return true;
    default:
        return false;
    }
}

void MainWindow::setPlaybackSpeed(double speed)
{
    if (!isFileActive())
        return;
    m_playbackSpeed = PlaybackSpeed::bounded(speed);
    if (PlayerEngine *engine = m_player->engine())
        engine->setSpeed(m_playbackSpeed);
    showNotice(QStringLiteral("播放速度 %1").arg(PlaybackSpeed::text(m_playbackSpeed)));
    showSpeedInTimeLabel();
}

void MainWindow::showSpeedInTimeLabel()
{
    QLabel *label = ui->playTimeLabel;
    const QString time = timeText(label->text());
    if (!isFileActive() || PlaybackSpeed::isNormal(m_playbackSpeed) || time.isEmpty()) {
        label->setFixedWidth(TimeLabelWidth);
        if (label->text() != time)
            label->setText(time);
        return;
    }
    const QString text = time + QStringLiteral("  ") + PlaybackSpeed::text(m_playbackSpeed);
    label->setFixedWidth(qMax(TimeLabelWidth, label->fontMetrics().horizontalAdvance(text) + 4));
    label->setText(text);
}

void MainWindow::takeScreenshot()
{
    PlayerEngine *engine = m_player->engine();
    const QSharedPointer<VideoFileInfo> file = m_player->currentFile();
    if (!isFileActive() || !engine || !file)
        return;
    const Screenshot::Result result = Screenshot::save(
        engine->videoFrame(), Screenshot::defaultFolder(), file->name, m_player->position());
    if (result.saved)
        engine->showNotice(
            QStringLiteral("截图已保存：%1").arg(QDir::toNativeSeparators(result.path)),
            PathNoticeTime);
    else
        engine->showNotice(QStringLiteral("截图保存失败：%1").arg(result.error), PathNoticeTime);
}

void MainWindow::chooseTrack(PlayerTrack::Kind kind, int id)
{
    PlayerEngine *engine = m_player->engine();
    const QSharedPointer<VideoFileInfo> file = m_player->currentFile();
    if (isFileActive() && engine && file)
        TrackChoiceStore::choose(engine, *file, kind, id);
}

void MainWindow::applyPlayExtrasOnOpen()
{
    PlayerEngine *engine = m_player->engine();
    if (!engine)
        return;
    if (!PlaybackSpeed::isNormal(m_playbackSpeed) || !PlaybackSpeed::isNormal(engine->speed()))
        engine->setSpeed(m_playbackSpeed);
    showSpeedInTimeLabel();
    if (const QSharedPointer<VideoFileInfo> file = m_player->currentFile())
        TrackChoiceStore::apply(engine, *file);
}

void MainWindow::addPlayExtrasEntries(QMenu *menu)
{
    PlayerEngine *engine = m_player->engine();
    if (!isFileActive() || !engine)
        return;
    menu->addSeparator();

    QMenu *speedMenu = menu->addMenu(QStringLiteral("播放速度"));
    auto *speeds = new QActionGroup(speedMenu);
    for (double speed : PlaybackSpeed::menuSpeeds()) {
        QAction *action = speedMenu->addAction(PlaybackSpeed::text(speed));
        action->setCheckable(true);
        action->setChecked(PlaybackSpeed::bounded(speed) == m_playbackSpeed);
        speeds->addAction(action);
        connect(action, &QAction::triggered, this, [this, speed] { setPlaybackSpeed(speed); });
    }

    const QVector<PlayerTrack> tracks = engine->tracks();
    for (const PlayerTrack::Kind kind : { PlayerTrack::Audio, PlayerTrack::Subtitle }) {
        const bool audio = kind == PlayerTrack::Audio;
        QMenu *trackMenu = menu->addMenu(audio ? QStringLiteral("音轨") : QStringLiteral("字幕轨"));
        auto *group = new QActionGroup(trackMenu);
        const QVector<PlayerTrack> ofKind = tracksOfKind(tracks, kind);
        auto add = [&](const QString &text, int id, bool checked) {
            QAction *action = trackMenu->addAction(text);
            action->setCheckable(true);
            action->setChecked(checked);
            group->addAction(action);
            connect(action, &QAction::triggered, this, [this, kind, id] { chooseTrack(kind, id); });
        };
        if (!audio) {
            const bool none = std::none_of(ofKind.begin(), ofKind.end(),
                [](const PlayerTrack &track) { return track.selected; });
            add(QStringLiteral("关闭"), 0, none);
        }
        for (int i = 0; i < ofKind.size(); ++i)
            add(trackLabel(ofKind.at(i), i + 1), ofKind.at(i).id, ofKind.at(i).selected);
        if (audio && ofKind.isEmpty())
            trackMenu->addAction(QStringLiteral("无"))->setEnabled(false);
    }

    menu->addAction(QStringLiteral("截图"), this, &MainWindow::takeScreenshot);
}
