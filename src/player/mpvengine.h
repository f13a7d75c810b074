#pragma once

#include "player/playerengine.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <optional>

struct mpv_event;
struct mpv_handle;
class VideoHost;

// The video engine on libmpv. It owns one mpv handle, used on the GUI thread;
// mpv's own threads only wake it up, and its events are read in drain().
class MpvEngine : public QObject, public PlayerEngine
{
    Q_OBJECT

public:
    using Options = QVector<QPair<QByteArray, QByteArray>>;

    // Extra mpv options, set last before the engine starts (tests choose the
    // audio output with them, for example).
    explicit MpvEngine(Options options = {});
    ~MpvEngine() override;

    QString name() const override;
    bool initialize(QWidget *host, APlayerControlEventHandler *sink, QString *error) override;

    int open(const QString &url) override;
    int close() override;
    int play() override;
    int pause() override;
    int state() const override;
    int duration() const override;
    int position() const override;
    int seek(int milliseconds) override;
    int setVolume(int volume) override;

    QString config(int id) const override;
    int setConfig(int id, const QString &value) override;

    void showNotice(const QString &text, int milliseconds) override;
    QVector<QPair<int, int>> bufferedRanges() const override;
    void setInterruptionHandler(std::function<void(int position)> handler) override;
    int reopenInterrupted(const QString &url, int position) override;
    void endInterrupted() override;
    bool isInterrupted() const override { return m_interrupted; }
    int setSpeed(double speed) override;
    double speed() const override;
    QVector<PlayerTrack> tracks() const override;
    int selectTrack(PlayerTrack::Kind kind, int id) override;
    QImage videoFrame() const override;

    mpv_handle *handle() const { return m_mpv; }
    // True while an external subtitle is being read in the background.
    bool isLoadingSubtitle() const { return m_subtitleRequest != 0; }
    // The widget that shows the picture, or nullptr without a host.
    VideoHost *videoHost() const;

private slots:
    void drain();
    void finishPausing();
    void checkStarted();

private:
    static void wakeup(void *engine);
    void handleEvent(const mpv_event &event);
    void handlePropertyChange(const mpv_event &event);
    void setState(int state);
    void emitEvent(int event, const QVector<int> &arguments);
    void endCurrentFile();
    bool endedEarly(const void *endFile) const;

    int command(const QVector<QByteArray> &arguments);
    bool flagProperty(const char *name) const;
    QString fileAspectRatio() const;
    bool hasFilter(const char *list, const char *label) const;
    int setImageNormalize(bool on);
    int applyPictureFilter();
    int setAudioChannel(int mode);
    int setSubtitleFile(const QString &path);
    void removeExternalSubtitles();
    int startSubtitleLoad(const QString &path);
    void finishSubtitleLoad();
    bool holdWhileLoading() const;
    void applyHeldWrites();
    int setAspectRatio(const QString &ratio);
    int setSubtitlePlacement(const QString &placement);
    int setSubtitleFont(const QString &font);
    int setCookie(const QString &cookie);
    int applyStreamRecord();

    Options m_options;
    mpv_handle *m_mpv = nullptr;
    APlayerControlEventHandler *m_sink = nullptr;
    QPointer<VideoHost> m_host;
    std::atomic<bool> m_drainPosted { false };

    int m_state = 0;
    // Playlist entry of the file this engine reports on; -1 when none.
    qint64 m_entryId = -1;
    bool m_entryStarted = false;
    bool m_openSucceeded = false;
    bool m_pausedForCache = false;
    int m_bufferingPercent = -1;
    QTimer m_startPoll;

    // The last position and length read from the engine (or the last seek
    // target): an interrupted file continues from there.
    mutable int m_lastPosition = 0;
    mutable int m_lastDuration = 0;
    mutable QVector<QPair<int, int>> m_lastRanges;
    // Where playback of the file last was, as mpv reports it while it plays:
    // tells a file that reached its end from one whose read failed.
    int m_playedTo = 0;
    bool m_interrupted = false;
    std::function<void(int)> m_interruptionHandler;

    // The subtitle load mpv works on (its reply id, 0 when none), and the
    // file asked for while it ran: loaded once that one has answered. mpv
    // holds its core for most of a load, and every synchronous call waits for
    // it: meanwhile the regular readings (position, length, buffered ranges)
    // answer their last values instead.
    uint64_t m_subtitleRequest = 0;
    uint64_t m_lastRequest = 0;
    bool m_subtitleQueued = false;
    QString m_queuedSubtitle;
    // Pause, seek and volume asked for during a load, the latest of each:
    // set once the load has answered, so that the window never waits for
    // mpv's core. The state steps of a pause or a play are taken at once.
    std::optional<bool> m_heldPause;
    std::optional<int> m_heldSeek;
    std::optional<double> m_heldVolume;

    // Configuration values as last written, returned for ids the engine
    // cannot read back itself.
    QHash<int, QString> m_written;
};
