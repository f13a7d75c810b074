#include "mainwindow/mprisservice.h"

#include "app/appsettings.h"
#include "app/resourcehandover.h"
#include "mainwindow/mainwindow.h"
#include "player/aplayercontrol.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFileInfo>
#include <QSlider>
#include <QtMath>

namespace {

const QString ServiceName = QStringLiteral("org.mpris.MediaPlayer2.tavrion");
const QString ObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString PlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
// The one track there is; "NoTrack" while nothing is open.
const QString TrackPath = QStringLiteral("/org/tavrion/track/current");
const QString NoTrackPath = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

APlayerControl *player()
{
    return APlayerControl::instance;
}

bool isFileOpen()
{
    const int state = player() ? player()->state() : APlayerControl::Ready;
    return state >= APlayerControl::Pausing && state <= APlayerControl::Playing;
}

} // namespace

// org.mpris.MediaPlayer2: the application itself.
class MprisRootAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)

public:
    explicit MprisRootAdaptor(MprisService *service)
        : QDBusAbstractAdaptor(service)
        , m_service(service)
    {
    }

    bool canQuit() const { return false; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Tavrion"); }
    QString desktopEntry() const { return QStringLiteral("tavrion"); }
    QStringList supportedUriSchemes() const { return { QStringLiteral("magnet") }; }
    QStringList supportedMimeTypes() const
    {
        return { QStringLiteral("application/x-bittorrent") };
    }

public slots:
    void Raise() { m_service->raise(); }
    void Quit() { }

private:
    MprisService *m_service;
};

// org.mpris.MediaPlayer2.Player: playback.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ canPlay)
    Q_PROPERTY(bool CanPause READ canPlay)
    Q_PROPERTY(bool CanSeek READ canSeek)
    Q_PROPERTY(bool CanControl READ yes)

public:
    explicit MprisPlayerAdaptor(MprisService *service)
        : QDBusAbstractAdaptor(service)
        , m_service(service)
    {
        connect(service, &MprisService::seeked, this, &MprisPlayerAdaptor::Seeked);
    }

    QString playbackStatus() const { return m_service->playbackStatus(); }
    double rate() const { return 1.0; }
    void setRate(double) { }
    QVariantMap metadata() const { return m_service->metadata(); }
    double volume() const { return m_service->volume(); }
    void setVolume(double volume) { m_service->setVolume(volume); }
    qlonglong position() const { return m_service->position(); }
    bool no() const { return false; }
    bool yes() const { return true; }
    bool canPlay() const { return isFileOpen(); }
    bool canSeek() const { return m_service->canSeek(); }

public slots:
    void Next() { }
    void Previous() { }
    void Play() { m_service->play(); }
    void Pause() { m_service->pause(); }
    void PlayPause() { m_service->playPause(); }
    void Stop() { m_service->stop(); }
    void Seek(qlonglong offset) { m_service->seek(offset); }
    void SetPosition(const QDBusObjectPath &trackId, qlonglong position)
    {
        m_service->setPosition(trackId, position);
    }
    void OpenUri(const QString &uri) { m_service->openUri(uri); }

signals:
    void Seeked(qlonglong position);

private:
    MprisService *m_service;
};

// True when a session bus is known. Without one, connecting would let the
// bus library start a bus daemon of its own for the display, which would
// outlive the program.
bool sessionBusKnown()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

bool MprisService::publish(MainWindow *window)
{
    if (!sessionBusKnown() || !player())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    // Lets the record of announced values see an unchanged track path.
    QMetaType::registerEqualsComparator<QDBusObjectPath>();
    auto *service = new MprisService(window);
    if (!bus.registerObject(ObjectPath, service) || !bus.registerService(ServiceName)) {
        bus.unregisterObject(ObjectPath);
        delete service;
        return false;
    }
    return true;
}

MprisService::MprisService(MainWindow *window)
    : QObject(window)
    , m_window(window)
    , m_volumeSlider(window->findChild<QSlider *>(QStringLiteral("volumeControlSlider")))
{
    new MprisRootAdaptor(this);
    new MprisPlayerAdaptor(this);
    connect(player(), &APlayerControl::onStateChanged, this, &MprisService::announceChanges);
    connect(player(), &APlayerControl::onOpenSucceeded, this, &MprisService::announceChanges);
    if (m_volumeSlider)
        connect(m_volumeSlider, &QSlider::valueChanged, this, &MprisService::announceChanges);
    m_announced = { { QStringLiteral("PlaybackStatus"), playbackStatus() },
        { QStringLiteral("Metadata"), metadata() }, { QStringLiteral("Volume"), volume() },
        { QStringLiteral("CanSeek"), canSeek() }, { QStringLiteral("CanPlay"), isFileOpen() },
        { QStringLiteral("CanPause"), isFileOpen() } };
}

QString MprisService::playbackStatus() const
{
    switch (player()->state()) {
    case APlayerControl::Starting:
    case APlayerControl::Playing:
        return QStringLiteral("Playing");
    case APlayerControl::Pausing:
    case APlayerControl::Paused:
        return QStringLiteral("Paused");
    default:
        return QStringLiteral("Stopped");
    }
}

QVariantMap MprisService::metadata() const
{
    const QSharedPointer<VideoFileInfo> file = player()->currentFile();
    if (!file || !isFileOpen())
        return { { QStringLiteral("mpris:trackid"),
            QVariant::fromValue(QDBusObjectPath(NoTrackPath)) } };
    return { { QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(TrackPath)) },
        { QStringLiteral("mpris:length"), qlonglong(player()->duration()) * 1000 },
        { QStringLiteral("xesam:title"), file->name } };
}

qlonglong MprisService::position() const
{
    return isFileOpen() ? qlonglong(player()->position()) * 1000 : 0;
}

double MprisService::volume() const
{
    if (!m_volumeSlider || m_volumeSlider->maximum() <= 0)
        return 0.0;
    return double(m_volumeSlider->value()) / m_volumeSlider->maximum();
}

void MprisService::setVolume(double volume)
{
    if (!m_volumeSlider || qIsNaN(volume))
        return;
    const int value = qRound(qBound(0.0, volume, 1.0) * m_volumeSlider->maximum());
    // As if the user moved the slider: the engine follows and the choice is kept.
    m_volumeSlider->setValue(value);
    AppSettings::instance()->setVolume(value);
}

bool MprisService::canSeek() const
{
    return isFileOpen() && player()->duration() > 0;
}

void MprisService::raise()
{
    if (!m_window)
        return;
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void MprisService::play()
{
    if (m_window && playbackStatus() == QLatin1String("Paused"))
        m_window->playPausePushButton_clicked();
}

void MprisService::pause()
{
    if (m_window && playbackStatus() == QLatin1String("Playing"))
        m_window->playPausePushButton_clicked();
}

void MprisService::playPause()
{
    if (m_window)
        m_window->playPausePushButton_clicked();
}

void MprisService::stop()
{
    if (m_window)
        m_window->stopPlayPushButton_clicked();
}

void MprisService::seek(qlonglong offset)
{
    if (canSeek())
        moveTo(position() + offset);
}

void MprisService::setPosition(const QDBusObjectPath &trackId, qlonglong position)
{
    // A position meant for another track, or past either end, is ignored.
    if (!canSeek() || trackId.path() != TrackPath || position < 0
        || position > qlonglong(player()->duration()) * 1000)
        return;
    moveTo(position);
}

void MprisService::openUri(const QString &uri)
{
    if (m_window)
        m_window->openResource(ResourceHandover::resourceText(uri, QDir::currentPath()));
}

void MprisService::moveTo(qlonglong position)
{
    const qlonglong end = qlonglong(player()->duration()) * 1000;
    const qlonglong target = qBound<qlonglong>(0, position, end);
    player()->setPosition(int(target / 1000));
    emit seeked(target);
}

void MprisService::announceChanges()
{
    const QVariantMap now = { { QStringLiteral("PlaybackStatus"), playbackStatus() },
        { QStringLiteral("Metadata"), metadata() }, { QStringLiteral("Volume"), volume() },
        { QStringLiteral("CanSeek"), canSeek() }, { QStringLiteral("CanPlay"), isFileOpen() },
        { QStringLiteral("CanPause"), isFileOpen() } };
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (m_announced.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    m_announced = now;
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath,
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal << PlayerInterface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

#include "mprisservice.moc"
