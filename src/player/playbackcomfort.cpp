#include "player/playbackcomfort.h"

#include "app/appsettings.h"
#include "player/aplayercontrol.h"
#include "player/playerengine.h"
#include "player/resumestore.h"

#include <QPointer>

namespace {

bool isOpen(int state)
{
    return state >= APlayerControl::Pausing && state <= APlayerControl::Playing;
}

} // namespace

PlaybackComfort::PlaybackComfort(APlayerControl *player, QObject *parent)
    : QObject(parent)
    , m_player(player)
{
    m_ticker.setInterval(1000);
    m_ticker.setTimerType(Qt::CoarseTimer);
    connect(&m_ticker, &QTimer::timeout, this, &PlaybackComfort::tick);
    connect(
        m_player, &APlayerControl::onOpenSucceeded, this, &PlaybackComfort::player_onOpenSucceeded);
    connect(
        m_player, &APlayerControl::onStateChanged, this, &PlaybackComfort::player_onStateChanged);
    connect(m_player, &APlayerControl::onClosed, this, &PlaybackComfort::player_onClosed);
}

PlaybackComfort::~PlaybackComfort()
{
    saveNow();
    if (PlayerEngine *engine = m_player->engine())
        engine->setInterruptionHandler({});
}

void PlaybackComfort::setAddressRenewer(AddressRenewer renewer)
{
    m_renewer = std::move(renewer);
}

QString PlaybackComfort::clock(int milliseconds)
{
    const int seconds = qMax(0, milliseconds) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void PlaybackComfort::player_onOpenSucceeded()
{
    m_file = m_player->currentFile();
    m_position = 0;
    m_duration = m_player->duration();
    m_renewals.clear();
    m_ticks = 0;
    m_ticker.start();
    if (PlayerEngine *engine = m_player->engine()) {
        const QPointer<PlaybackComfort> self(this);
        engine->setInterruptionHandler([self](int) {
            if (self)
                self->renew();
        });
    }
    AppSettings *settings = AppSettings::instance();
    if (!m_file || !settings || !settings->isResumePlayback())
        return;
    const int position = ResumeStore::position(m_file->hash, m_file->index);
    if (!ResumeStore::isResumable(position, m_duration))
        return;
    m_player->setPosition(position);
    m_position = position;
    if (PlayerEngine *engine = m_player->engine())
        engine->showNotice(QStringLiteral("从 %1 继续播放").arg(clock(position)), 3000);
    emit resumed(position);
}

void PlaybackComfort::player_onStateChanged(int oldState, int newState)
{
    // Starting is a step on the way to playing: the hold stays as it is.
    if (newState != APlayerControl::Starting)
        m_screenSaver.setInhibited(newState == APlayerControl::Playing);
    if (newState == APlayerControl::Closing && isOpen(oldState)) {
        // The engine has let the file go and reads 0 now: the last sample
        // stands for where it stopped.
        save();
        m_file.reset();
    }
    if (newState == APlayerControl::Ready) {
        m_file.reset();
        m_ticker.stop();
        if (!m_ranges.isEmpty()) {
            m_ranges.clear();
            emit bufferedRangesChanged(m_ranges, 0);
        }
    }
}

void PlaybackComfort::player_onClosed()
{
    // Sent just before a stop, while the engine still knows the position.
    sample();
}

void PlaybackComfort::sample()
{
    if (!m_file || !isOpen(m_player->state()))
        return;
    m_position = m_player->position();
    if (const int duration = m_player->duration())
        m_duration = duration;
}

void PlaybackComfort::tick()
{
    sample();
    if (!m_file)
        return;
    if (m_player->state() == APlayerControl::Playing && ++m_ticks % SaveEveryTicks == 0)
        save();
    if (PlayerEngine *engine = m_player->engine()) {
        const QVector<QPair<int, int>> ranges = engine->bufferedRanges();
        if (ranges != m_ranges) {
            m_ranges = ranges;
            emit bufferedRangesChanged(m_ranges, m_duration);
        }
    }
}

void PlaybackComfort::save()
{
    if (m_file && m_duration > 0)
        ResumeStore::remember(m_file->hash, m_file->index, m_position, m_duration);
}

void PlaybackComfort::saveNow()
{
    sample();
    save();
}

void PlaybackComfort::renew()
{
    PlayerEngine *engine = m_player->engine();
    if (m_renewing || !engine || !engine->isInterrupted())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    while (!m_renewals.isEmpty() && m_renewals.first().msecsTo(now) > RenewalWindow)
        m_renewals.removeFirst();
    const QSharedPointer<VideoFileInfo> file = m_player->currentFile();
    if (m_renewals.size() >= MaximumRenewals || !m_renewer || !file) {
        engine->endInterrupted();
        emit renewalFailed();
        return;
    }
    m_renewals.append(now);

    m_renewing = true;
    const QPointer<PlaybackComfort> self(this);
    const bool renewed = m_renewer(file);
    if (!self)
        return;
    m_renewing = false;
    // The user may have stopped the file or opened another one meanwhile.
    if (!engine->isInterrupted() || m_player->currentFile() != file)
        return;
    if (renewed && engine->setConfig(APlayerControl::CookieId, file->comCookie) == 0
        && engine->reopenInterrupted(file->url, m_player->position()) == 0)
        return;
    QTimer::singleShot(RenewalRetryDelay, this, &PlaybackComfort::renew);
}
