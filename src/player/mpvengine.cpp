#include "player/mpvengine.h"

#include "player/aplayercontrol.h"
#include "player/aplayercontroleventhandler.h"
#include "player/videohost.h"
#include "preferences/subtitlecharset.h"
#include "preferences/subtitlelimit.h"

#include <QMetaObject>
#include <QStringList>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <numeric>
#include <utility>

namespace {
enum PropertyId : uint64_t {
    PauseProperty = 1,
    CoreIdleProperty,
    PausedForCacheProperty,
    CacheBufferingProperty,
    IdleActiveProperty,
    TimePositionProperty,
};

const char EnhanceLabel[] = "tav_enh";
const char PictureLabel[] = "tav_pic";
// The picture levels, in the order of their configuration ids.
const char *const PictureProperties[] = { "brightness", "contrast", "saturation", "hue" };
const char ChannelLabel[] = "tav_ch";
const char EnhanceFilter[] = "@tav_enh:lavfi=[unsharp=5:5:1.0:5:5:0.0]";
// The aformat step turns mono and surround sources into stereo first, so the
// pan always has two channels to pick from.
const char *const ChannelFilters[] = {
    nullptr,
    "@tav_ch:lavfi=[aformat=channel_layouts=stereo,pan=stereo|c0=c0|c1=c0]",
    "@tav_ch:lavfi=[aformat=channel_layouts=stereo,pan=stereo|c0=c1|c1=c1]",
    "@tav_ch:lavfi=[aformat=channel_layouts=stereo,pan=stereo|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1]",
};

const QString DefaultPlacement = QStringLiteral("0;0;100");
const QString DefaultFont = QStringLiteral("微软雅黑;18");
// mpv's subtitle size is in its own scaled pixels; three of them per point
// of the font size gives about the size players usually show.
constexpr int FontSizeScale = 3;
// Margin of subtitles moved sideways, and how far one step moves them.
constexpr int SideMargin = 300;
constexpr int SideStep = 10;

// A file that ends this far before its length did not reach its end: the
// read failed. The margin also covers containers that state a length a
// little longer than their streams.
constexpr int EarlyEndMargin = 3000;

bool isActive(int state)
{
    return state != APlayerControl::Ready && state != APlayerControl::Closing;
}
} // namespace

MpvEngine::MpvEngine(Options options)
    : m_options(std::move(options))
{
    m_startPoll.setInterval(50);
    connect(&m_startPoll, &QTimer::timeout, this, &MpvEngine::checkStarted);
}

MpvEngine::~MpvEngine()
{
    if (!m_mpv) {
        return;
    }
    mpv_set_wakeup_callback(m_mpv, nullptr, nullptr);
    if (m_host) {
        m_host->releaseRenderContext();
        delete m_host;
    }
    mpv_terminate_destroy(m_mpv);
}

QString MpvEngine::name() const
{
    return QStringLiteral("libmpv");
}

bool MpvEngine::initialize(QWidget *host, APlayerControlEventHandler *sink, QString *error)
{
    m_sink = sink;
    // mpv parses numbers with the C library and refuses to start under a
    // locale with another decimal separator.
    std::setlocale(LC_NUMERIC, "C");
    m_mpv = mpv_create();
    if (!m_mpv) {
        if (error) {
            *error = QStringLiteral("mpv_create failed");
        }
        return false;
    }
    const Options defaults = {
        { "vo", host ? "libmpv" : "null" },
        { "ytdl", "no" },
        { "idle", "yes" },
        { "keep-open", "no" },
        { "network-timeout", "8" },
        { "hwdec", "auto-safe" },
        { "input-default-bindings", "no" },
        { "input-vo-keyboard", "no" },
        { "osc", "no" },
        { "osd-font", "微软雅黑" },
        { "osd-font-size", "30" },
        { "osd-border-size", "1.5" },
        { "audio-client-name", "Tavrion" },
        { "sub-font-size", QByteArray::number(18 * FontSizeScale) },
    };
    for (const auto &option : defaults + m_options) {
        const int status
            = mpv_set_option_string(m_mpv, option.first.constData(), option.second.constData());
        if (status < 0) {
            if (error) {
                *error = QStringLiteral("%1=%2: %3")
                             .arg(QString::fromUtf8(option.first), QString::fromUtf8(option.second),
                                 QString::fromUtf8(mpv_error_string(status)));
            }
            mpv_terminate_destroy(m_mpv);
            m_mpv = nullptr;
            return false;
        }
    }
    const int status = mpv_initialize(m_mpv);
    if (status < 0) {
        if (error) {
            *error = QString::fromUtf8(mpv_error_string(status));
        }
        mpv_terminate_destroy(m_mpv);
        m_mpv = nullptr;
        return false;
    }
    mpv_observe_property(m_mpv, PauseProperty, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(m_mpv, CoreIdleProperty, "core-idle", MPV_FORMAT_FLAG);
    mpv_observe_property(m_mpv, PausedForCacheProperty, "paused-for-cache", MPV_FORMAT_FLAG);
    mpv_observe_property(m_mpv, CacheBufferingProperty, "cache-buffering-state", MPV_FORMAT_INT64);
    mpv_observe_property(m_mpv, IdleActiveProperty, "idle-active", MPV_FORMAT_FLAG);
    mpv_observe_property(m_mpv, TimePositionProperty, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_set_wakeup_callback(m_mpv, &MpvEngine::wakeup, this);

    if (host) {
        m_host = new VideoHost(m_mpv, host);
        connect(m_host, &VideoHost::message, this, [this](int message, int wParam, int lParam) {
            emitEvent(APlayerControlEventHandler::Message, { message, wParam, lParam });
        });
        m_host->show();
    }
    return true;
}

VideoHost *MpvEngine::videoHost() const
{
    return m_host;
}

void MpvEngine::wakeup(void *engine)
{
    // Runs on any of mpv's threads: only post one drain at a time.
    auto *self = static_cast<MpvEngine *>(engine);
    if (!self->m_drainPosted.exchange(true)) {
        QMetaObject::invokeMethod(self, "drain", Qt::QueuedConnection);
    }
}

void MpvEngine::drain()
{
    m_drainPosted = false;
    while (m_mpv) {
        mpv_event *event = mpv_wait_event(m_mpv, 0);
        if (event->event_id == MPV_EVENT_NONE) {
            break;
        }
        handleEvent(*event);
    }
}

void MpvEngine::handleEvent(const mpv_event &event)
{
    switch (event.event_id) {
    case MPV_EVENT_START_FILE: {
        const auto *start = static_cast<const mpv_event_start_file *>(event.data);
        m_entryStarted = start->playlist_entry_id == m_entryId;
        break;
    }
    case MPV_EVENT_PLAYBACK_RESTART:
        // The first restart of the file: its first frame is ready to show.
        // Later ones follow seeks and change nothing.
        if (m_entryStarted && m_state == APlayerControl::Opening && !m_openSucceeded) {
            m_openSucceeded = true;
            duration();
            const qint64 entry = m_entryId;
            emitEvent(APlayerControlEventHandler::OpenSucceeded, {});
            // A receiver may have closed the file or opened another one.
            if (m_entryId == entry && m_state == APlayerControl::Opening) {
                setState(APlayerControl::Starting);
                checkStarted();
            }
        }
        break;
    case MPV_EVENT_END_FILE: {
        const auto *end = static_cast<const mpv_event_end_file *>(event.data);
        if (end->playlist_entry_id != m_entryId) {
            break;
        }
        const bool started
            = m_openSucceeded && isActive(m_state) && m_state != APlayerControl::Opening;
        const bool early = started && endedEarly(end);
        if (early && m_interruptionHandler) {
            // The state stays; the handler decides later, outside this
            // drain, whether the file continues or ends.
            m_entryId = -1;
            m_entryStarted = false;
            m_interrupted = true;
            if (m_pausedForCache) {
                m_pausedForCache = false;
                emitEvent(APlayerControlEventHandler::Buffer, { 100 });
            }
            QTimer::singleShot(0, this, [this] {
                if (m_interrupted && m_interruptionHandler) {
                    m_interruptionHandler(m_lastPosition);
                }
            });
            break;
        }
        const bool playedToEnd = started && !early
            && (end->reason == MPV_END_FILE_REASON_EOF || end->reason == MPV_END_FILE_REASON_ERROR);
        endCurrentFile();
        if (playedToEnd) {
            emitEvent(APlayerControlEventHandler::EndOfFile, {});
        }
        break;
    }
    case MPV_EVENT_PROPERTY_CHANGE:
        handlePropertyChange(event);
        break;
    case MPV_EVENT_COMMAND_REPLY:
        if (event.reply_userdata == m_subtitleRequest && m_subtitleRequest != 0) {
            finishSubtitleLoad();
        }
        break;
    default:
        break;
    }
}

void MpvEngine::handlePropertyChange(const mpv_event &event)
{
    const auto *property = static_cast<const mpv_event_property *>(event.data);
    const bool hasFlag = property->format == MPV_FORMAT_FLAG;
    const bool flag = hasFlag && *static_cast<const int *>(property->data) != 0;
    switch (event.reply_userdata) {
    case PauseProperty:
        if (flag) {
            finishPausing();
        }
        break;
    case CoreIdleProperty:
        if (hasFlag && !flag && m_entryStarted) {
            checkStarted();
        }
        break;
    case PausedForCacheProperty:
        if (!hasFlag || !m_entryStarted) {
            break;
        }
        if (flag && !m_pausedForCache) {
            m_pausedForCache = true;
            m_bufferingPercent = -1;
            int64_t percent = 0;
            mpv_get_property(m_mpv, "cache-buffering-state", MPV_FORMAT_INT64, &percent);
            if (isActive(m_state)) {
                m_bufferingPercent = int(percent);
                emitEvent(APlayerControlEventHandler::Buffer, { m_bufferingPercent });
            }
        } else if (!flag && m_pausedForCache) {
            m_pausedForCache = false;
            if (isActive(m_state)) {
                emitEvent(APlayerControlEventHandler::Buffer, { 100 });
            }
        }
        break;
    case CacheBufferingProperty:
        if (property->format == MPV_FORMAT_INT64 && m_pausedForCache && isActive(m_state)) {
            const int percent = int(*static_cast<const int64_t *>(property->data));
            if (percent != m_bufferingPercent && percent < 100) {
                m_bufferingPercent = percent;
                emitEvent(APlayerControlEventHandler::Buffer, { percent });
            }
        }
        break;
    case IdleActiveProperty:
        // A stop that removed the file before it started loading ends
        // without an end-file event of its own; the player going idle
        // finishes the close then.
        if (hasFlag && flag && m_state == APlayerControl::Closing) {
            m_entryId = -1;
            m_entryStarted = false;
            setState(APlayerControl::Ready);
        }
        break;
    case TimePositionProperty:
        if (property->format == MPV_FORMAT_DOUBLE && m_entryStarted && !m_interrupted) {
            m_playedTo = std::max(0, int(*static_cast<const double *>(property->data) * 1000));
        }
        break;
    default:
        break;
    }
}

bool MpvEngine::endedEarly(const void *endFile) const
{
    const auto *end = static_cast<const mpv_event_end_file *>(endFile);
    const bool reachedEnd = m_lastDuration > 0 && m_playedTo >= m_lastDuration - EarlyEndMargin;
    if (reachedEnd) {
        // Whatever status mpv gives: it also reports an error at the end of
        // a file that played through after an output failed.
        return false;
    }
    // An audio output that could not start leaves the video playing on its
    // own; where such a file stops is decided by its position, as for an
    // ordinary end.
    const bool audioOutputFailed
        = end->reason == MPV_END_FILE_REASON_ERROR && end->error == MPV_ERROR_AO_INIT_FAILED;
    if (end->reason == MPV_END_FILE_REASON_ERROR && !audioOutputFailed) {
        return true;
    }
    return (end->reason == MPV_END_FILE_REASON_EOF || audioOutputFailed) && m_lastDuration > 0;
}

void MpvEngine::endCurrentFile()
{
    m_interrupted = false;
    m_entryId = -1;
    m_entryStarted = false;
    m_pausedForCache = false;
    switch (m_state) {
    case APlayerControl::Ready:
        break;
    case APlayerControl::Opening:
    case APlayerControl::Closing:
        setState(APlayerControl::Ready);
        break;
    default:
        setState(APlayerControl::Closing);
        setState(APlayerControl::Ready);
        break;
    }
}

void MpvEngine::setState(int state)
{
    if (state == m_state) {
        return;
    }
    const int old = m_state;
    m_state = state;
    if (state == APlayerControl::Starting) {
        m_startPoll.start();
    } else {
        m_startPoll.stop();
    }
    emitEvent(APlayerControlEventHandler::StateChanged, { old, state });
}

void MpvEngine::emitEvent(int event, const QVector<int> &arguments)
{
    if (m_sink) {
        m_sink->invoke(event, arguments);
    }
}

void MpvEngine::checkStarted()
{
    // The core-idle event can be lost when the core flips it twice between
    // two reads, so the property is also polled while starting.
    if (m_state != APlayerControl::Starting || !m_mpv || m_subtitleRequest != 0) {
        return;
    }
    if (!flagProperty("core-idle") && !flagProperty("pause")) {
        setState(APlayerControl::Playing);
    }
}

void MpvEngine::finishPausing()
{
    if (m_state == APlayerControl::Pausing && m_subtitleRequest == 0 && flagProperty("pause")) {
        setState(APlayerControl::Paused);
    }
}

int MpvEngine::command(const QVector<QByteArray> &arguments)
{
    if (!m_mpv) {
        return 1;
    }
    QVector<const char *> argv;
    for (const QByteArray &argument : arguments) {
        argv.append(argument.constData());
    }
    argv.append(nullptr);
    return mpv_command(m_mpv, argv.data()) < 0 ? 1 : 0;
}

bool MpvEngine::flagProperty(const char *name) const
{
    int flag = 0;
    if (!m_mpv || mpv_get_property(m_mpv, name, MPV_FORMAT_FLAG, &flag) < 0) {
        return false;
    }
    return flag != 0;
}

int MpvEngine::open(const QString &url)
{
    if (!m_mpv) {
        return 1;
    }
    if (m_state != APlayerControl::Ready) {
        // The file being replaced closes first, so that receivers see it end
        // before the new one opens.
        if (m_state != APlayerControl::Closing) {
            setState(APlayerControl::Closing);
        }
        setState(APlayerControl::Ready);
    }
    m_entryId = -1;
    m_entryStarted = false;
    m_openSucceeded = false;
    m_pausedForCache = false;
    m_interrupted = false;
    m_lastPosition = 0;
    m_lastDuration = 0;
    m_playedTo = 0;
    m_lastRanges.clear();
    // A pause or seek held back for the file being replaced is dropped.
    m_heldPause.reset();
    m_heldSeek.reset();
    // mpv keeps pause from one file to the next; a new file always plays.
    int unpaused = 0;
    mpv_set_property(m_mpv, "pause", MPV_FORMAT_FLAG, &unpaused);
    applyStreamRecord();
    if (m_host) {
        m_host->prepare();
    }

    const QByteArray urlBytes = url.toUtf8();
    const char *argv[] = { "loadfile", urlBytes.constData(), "replace", nullptr };
    mpv_node result;
    if (mpv_command_ret(m_mpv, argv, &result) < 0) {
        return 1;
    }
    if (result.format == MPV_FORMAT_NODE_MAP) {
        for (int i = 0; i < result.u.list->num; ++i) {
            if (qstrcmp(result.u.list->keys[i], "playlist_entry_id") == 0
                && result.u.list->values[i].format == MPV_FORMAT_INT64) {
                m_entryId = result.u.list->values[i].u.int64;
            }
        }
    }
    mpv_free_node_contents(&result);
    if (m_entryId < 0) {
        return 1;
    }
    setState(APlayerControl::Opening);
    return 0;
}

int MpvEngine::close()
{
    if (m_state == APlayerControl::Ready || m_state == APlayerControl::Closing) {
        return 0;
    }
    if (m_interrupted) {
        // Nothing is loaded: the engine is idle already.
        endInterrupted();
        return 0;
    }
    setState(APlayerControl::Closing);
    return command({ "stop" });
}

int MpvEngine::play()
{
    switch (m_state) {
    case APlayerControl::Starting:
    case APlayerControl::Playing:
        return 0;
    case APlayerControl::Pausing:
    case APlayerControl::Paused: {
        setState(APlayerControl::Starting);
        if (holdWhileLoading()) {
            m_heldPause = false;
            return 0;
        }
        int flag = 0;
        if (mpv_set_property(m_mpv, "pause", MPV_FORMAT_FLAG, &flag) < 0) {
            return 1;
        }
        QMetaObject::invokeMethod(this, "checkStarted", Qt::QueuedConnection);
        return 0;
    }
    default:
        return 1;
    }
}

int MpvEngine::pause()
{
    switch (m_state) {
    case APlayerControl::Pausing:
    case APlayerControl::Paused:
        return 0;
    case APlayerControl::Starting:
    case APlayerControl::Playing: {
        setState(APlayerControl::Pausing);
        if (holdWhileLoading()) {
            m_heldPause = true;
            return 0;
        }
        int flag = 1;
        if (mpv_set_property(m_mpv, "pause", MPV_FORMAT_FLAG, &flag) < 0) {
            return 1;
        }
        QMetaObject::invokeMethod(this, "finishPausing", Qt::QueuedConnection);
        return 0;
    }
    default:
        return 1;
    }
}

int MpvEngine::state() const
{
    return m_state;
}

int MpvEngine::duration() const
{
    double seconds = 0;
    if (!m_mpv || !isActive(m_state)) {
        return 0;
    }
    if (m_subtitleRequest != 0) {
        return m_lastDuration;
    }
    if (mpv_get_property(m_mpv, "duration", MPV_FORMAT_DOUBLE, &seconds) < 0) {
        // Between an interruption and the reopened file's start.
        return m_openSucceeded ? m_lastDuration : 0;
    }
    m_lastDuration = int(seconds * 1000);
    return m_lastDuration;
}

int MpvEngine::position() const
{
    double seconds = 0;
    if (!m_mpv || !isActive(m_state)) {
        return 0;
    }
    if (m_subtitleRequest != 0) {
        // mpv's core is taken by the subtitle and moves the video no further.
        return m_lastPosition;
    }
    if (mpv_get_property(m_mpv, "time-pos", MPV_FORMAT_DOUBLE, &seconds) < 0) {
        return m_openSucceeded ? m_lastPosition : 0;
    }
    m_lastPosition = std::max(0, int(seconds * 1000));
    return m_lastPosition;
}

int MpvEngine::seek(int milliseconds)
{
    if (!m_openSucceeded || !isActive(m_state)) {
        return 1;
    }
    m_lastPosition = std::max(0, milliseconds);
    if (m_interrupted) {
        // Taken up by the reopened file.
        return 0;
    }
    if (holdWhileLoading()) {
        m_heldSeek = m_lastPosition;
        return 0;
    }
    return command(
        { "seek", QByteArray::number(std::max(0, milliseconds) / 1000.0, 'f', 3), "absolute" });
}

int MpvEngine::setVolume(int volume)
{
    if (!m_mpv) {
        return 1;
    }
    double value = std::clamp(volume, 0, 100);
    if (holdWhileLoading()) {
        m_heldVolume = value;
        return 0;
    }
    return mpv_set_property(m_mpv, "volume", MPV_FORMAT_DOUBLE, &value) < 0 ? 1 : 0;
}

QString MpvEngine::config(int id) const
{
    switch (id) {
    case APlayerControl::VideoWindowHandleId:
        return QString::number(m_host ? quint64(m_host->effectiveWinId()) : 0);
    case APlayerControl::FileAspectRatioId:
        return fileAspectRatio();
    case APlayerControl::ImageNormalizeId:
        return hasFilter("vf", EnhanceLabel) ? QStringLiteral("1") : QStringLiteral("0");
    case APlayerControl::SubtitleFileId: {
        if (m_subtitleRequest != 0) {
            // Earlier subtitles went when the load began; this one is not
            // in yet.
            return QString();
        }
        char *path = m_mpv ? mpv_get_property_string(m_mpv, "current-tracks/sub/external-filename")
                           : nullptr;
        const QString text = path ? QString::fromUtf8(path) : QString();
        mpv_free(path);
        return text;
    }
    case APlayerControl::SubtitlePlacementId:
        return m_written.value(id, DefaultPlacement);
    case APlayerControl::SubtitleFontId:
        return m_written.value(id, DefaultFont);
    default:
        return m_written.value(id);
    }
}

int MpvEngine::setConfig(int id, const QString &value)
{
    if (!m_mpv) {
        return 1;
    }
    int status = 0;
    switch (id) {
    case APlayerControl::RenderModeId: {
        const int mode = value.toInt();
        const char *hwdec = mode == 1 ? "no" : mode == 2 ? "auto-safe" : "auto-copy-safe";
        status = mpv_set_property_string(m_mpv, "hwdec", hwdec) < 0 ? 1 : 0;
        break;
    }
    case APlayerControl::AspectRatioId:
        status = setAspectRatio(value);
        break;
    case APlayerControl::BrightnessId:
    case APlayerControl::ContrastId:
    case APlayerControl::SaturationId:
    case APlayerControl::HueId: {
        // The client's scale is 0..100 around 50; mpv's is -100..100 around 0.
        int64_t level = std::clamp((value.toInt() - 50) * 2, -100, 100);
        status = mpv_set_property(m_mpv, PictureProperties[id - APlayerControl::BrightnessId],
                     MPV_FORMAT_INT64, &level)
                    < 0
                || applyPictureFilter() != 0
            ? 1
            : 0;
        break;
    }
    case APlayerControl::ImageNormalizeId:
        status = setImageNormalize(value.toInt() == 1);
        break;
    case APlayerControl::AudioChannelId:
        status = setAudioChannel(value.toInt());
        break;
    case APlayerControl::SubtitleFileId:
        status = setSubtitleFile(value);
        break;
    case APlayerControl::SubtitleVisibleId:
        status = mpv_set_property_string(m_mpv, "sub-visibility", value.toInt() == 1 ? "yes" : "no")
                < 0
            ? 1
            : 0;
        break;
    case APlayerControl::SubtitlePlacementId:
        status = setSubtitlePlacement(value);
        break;
    case APlayerControl::SubtitleFontId:
        status = setSubtitleFont(value);
        break;
    case APlayerControl::SubtitleDelayId: {
        double seconds = value.section(QLatin1Char(';'), 0, 0).toInt() / 1000.0;
        status = mpv_set_property(m_mpv, "sub-delay", MPV_FORMAT_DOUBLE, &seconds) < 0 ? 1 : 0;
        break;
    }
    case APlayerControl::CookieId:
        status = setCookie(value);
        break;
    case APlayerControl::CacheFilePathId:
    case APlayerControl::CacheEnabledId:
        m_written.insert(id, value);
        return applyStreamRecord();
    default:
        status = 1;
        break;
    }
    if (status == 0) {
        m_written.insert(id, value);
    }
    return status;
}

QString MpvEngine::fileAspectRatio() const
{
    // The decoder's display size, not video-params: those follow the
    // aspect override.
    int64_t width = 0;
    int64_t height = 0;
    if (!m_mpv || mpv_get_property(m_mpv, "video-dec-params/dw", MPV_FORMAT_INT64, &width) < 0
        || mpv_get_property(m_mpv, "video-dec-params/dh", MPV_FORMAT_INT64, &height) < 0
        || width <= 0 || height <= 0) {
        return QString();
    }
    const int64_t divisor = std::gcd(width, height);
    return QStringLiteral("%1;%2").arg(width / divisor).arg(height / divisor);
}

int MpvEngine::setAspectRatio(const QString &ratio)
{
    QByteArray aspect = "-1";
    if (!ratio.isEmpty() && ratio != fileAspectRatio()) {
        const QStringList parts = ratio.split(QLatin1Char(';'));
        bool widthOk = false;
        bool heightOk = false;
        const int width = parts.value(0).toInt(&widthOk);
        const int height = parts.value(1).toInt(&heightOk);
        if (parts.size() != 2 || !widthOk || !heightOk || width <= 0 || height <= 0) {
            return 1;
        }
        aspect = QByteArray::number(width) + ':' + QByteArray::number(height);
    }
    return mpv_set_property_string(m_mpv, "video-aspect-override", aspect.constData()) < 0 ? 1 : 0;
}

bool MpvEngine::hasFilter(const char *list, const char *label) const
{
    mpv_node node;
    if (!m_mpv || mpv_get_property(m_mpv, list, MPV_FORMAT_NODE, &node) < 0) {
        return false;
    }
    bool found = false;
    if (node.format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < node.u.list->num && !found; ++i) {
            const mpv_node &filter = node.u.list->values[i];
            if (filter.format != MPV_FORMAT_NODE_MAP) {
                continue;
            }
            for (int k = 0; k < filter.u.list->num; ++k) {
                const mpv_node &field = filter.u.list->values[k];
                if (qstrcmp(filter.u.list->keys[k], "label") == 0
                    && field.format == MPV_FORMAT_STRING && qstrcmp(field.u.string, label) == 0) {
                    found = true;
                }
            }
        }
    }
    mpv_free_node_contents(&node);
    return found;
}

int MpvEngine::setImageNormalize(bool on)
{
    if (on) {
        return command({ "vf", "add", EnhanceFilter });
    }
    if (!hasFilter("vf", EnhanceLabel)) {
        return 0;
    }
    return command({ "vf", "remove", QByteArray("@") + EnhanceLabel });
}

int MpvEngine::applyPictureFilter()
{
    // mpv's software renderer leaves the picture levels out; where the host
    // draws with it, a filter applies them, and only while one is set.
    if (!m_host || !m_host->drawsInSoftware()) {
        return 0;
    }
    int64_t level[4] = {};
    for (int i = 0; i < 4; ++i) {
        mpv_get_property(m_mpv, PictureProperties[i], MPV_FORMAT_INT64, &level[i]);
    }
    QStringList steps;
    if (level[0] != 0 || level[1] != 0 || level[2] != 0) {
        // mpv scales the colour around black, eq scales the luma around mid
        // grey and leaves the chroma alone: brightness and saturation make up
        // the difference.
        const double contrast = 1 + level[1] / 100.0;
        steps << QStringLiteral("eq=brightness=%1:contrast=%2:saturation=%3")
                     .arg(std::clamp(level[0] / 100.0 - (1 - contrast) / 2, -1.0, 1.0))
                     .arg(contrast)
                     .arg(std::clamp((1 + level[2] / 100.0) * contrast, 0.0, 3.0));
    }
    if (level[3] != 0) {
        // mpv turns the hue by level × π / 100, the other way round.
        steps << QStringLiteral("hue=h=%1").arg(level[3] * -1.8);
    }
    if (hasFilter("vf", PictureLabel)
        && command({ "vf", "remove", QByteArray("@") + PictureLabel }) != 0) {
        return 1;
    }
    if (steps.isEmpty()) {
        return 0;
    }
    return command({ "vf", "add",
        QByteArray("@") + PictureLabel + ":lavfi=[" + steps.join(QLatin1Char(',')).toLatin1()
            + "]" });
}

int MpvEngine::setAudioChannel(int mode)
{
    if (mode >= 1 && mode <= 3) {
        return command({ "af", "add", ChannelFilters[mode] });
    }
    if (!hasFilter("af", ChannelLabel)) {
        return 0;
    }
    return command({ "af", "remove", QByteArray("@") + ChannelLabel });
}

int MpvEngine::setSubtitleFile(const QString &path)
{
    if (!path.isEmpty() && SubtitleLimit::isTooLarge(path)) {
        return 1;
    }
    if (m_subtitleRequest != 0) {
        // One load at a time; this file follows when the running one has
        // answered. That one is not aborted: an abort that reaches mpv
        // (0.35) while it takes in the subtitle's lines leaves its core
        // locked for good.
        m_subtitleQueued = true;
        m_queuedSubtitle = path;
        return 0;
    }
    return startSubtitleLoad(path);
}

void MpvEngine::removeExternalSubtitles()
{
    mpv_node tracks;
    if (mpv_get_property(m_mpv, "track-list", MPV_FORMAT_NODE, &tracks) < 0) {
        return;
    }
    QVector<int64_t> external;
    if (tracks.format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < tracks.u.list->num; ++i) {
            const mpv_node &track = tracks.u.list->values[i];
            if (track.format != MPV_FORMAT_NODE_MAP) {
                continue;
            }
            bool isSub = false;
            bool isExternal = false;
            int64_t trackId = -1;
            for (int k = 0; k < track.u.list->num; ++k) {
                const char *key = track.u.list->keys[k];
                const mpv_node &field = track.u.list->values[k];
                if (qstrcmp(key, "type") == 0 && field.format == MPV_FORMAT_STRING) {
                    isSub = qstrcmp(field.u.string, "sub") == 0;
                } else if (qstrcmp(key, "external") == 0 && field.format == MPV_FORMAT_FLAG) {
                    isExternal = field.u.flag != 0;
                } else if (qstrcmp(key, "id") == 0 && field.format == MPV_FORMAT_INT64) {
                    trackId = field.u.int64;
                }
            }
            if (isSub && isExternal && trackId >= 0) {
                external.append(trackId);
            }
        }
    }
    mpv_free_node_contents(&tracks);
    for (const int64_t trackId : external) {
        command({ "sub-remove", QByteArray::number(qlonglong(trackId)) });
    }
}

int MpvEngine::startSubtitleLoad(const QString &path)
{
    // One external subtitle at a time: earlier ones go first.
    removeExternalSubtitles();
    if (path.isEmpty()) {
        return 0;
    }
    // mpv's own guess fails on short GBK and Big5 files; the set chosen here
    // applies to the file added next.
    mpv_set_property_string(
        m_mpv, "sub-codepage", SubtitleCharset::codepageOfFile(path).constData());
    // mpv reads the whole file before it answers, which takes seconds for a
    // long one: the window keeps running meanwhile and the answer arrives as
    // an event.
    const QByteArray pathBytes = path.toUtf8();
    const char *argv[] = { "sub-add", pathBytes.constData(), "select", nullptr };
    const uint64_t request = ++m_lastRequest;
    if (mpv_command_async(m_mpv, request, argv) < 0) {
        return 1;
    }
    m_subtitleRequest = request;
    return 0;
}

bool MpvEngine::holdWhileLoading() const
{
    return m_subtitleRequest != 0;
}

void MpvEngine::applyHeldWrites()
{
    if (m_heldPause) {
        int flag = *std::exchange(m_heldPause, std::nullopt) ? 1 : 0;
        mpv_set_property(m_mpv, "pause", MPV_FORMAT_FLAG, &flag);
    }
    if (m_heldSeek) {
        const int milliseconds = *std::exchange(m_heldSeek, std::nullopt);
        if (m_openSucceeded && isActive(m_state) && !m_interrupted) {
            command({ "seek", QByteArray::number(milliseconds / 1000.0, 'f', 3), "absolute" });
        }
    }
    if (m_heldVolume) {
        double value = *std::exchange(m_heldVolume, std::nullopt);
        mpv_set_property(m_mpv, "volume", MPV_FORMAT_DOUBLE, &value);
    }
    // The checks a pause or a play left undone while the core was taken.
    if (m_state == APlayerControl::Pausing) {
        QMetaObject::invokeMethod(this, "finishPausing", Qt::QueuedConnection);
    } else if (m_state == APlayerControl::Starting) {
        QMetaObject::invokeMethod(this, "checkStarted", Qt::QueuedConnection);
    }
}

void MpvEngine::finishSubtitleLoad()
{
    m_subtitleRequest = 0;
    applyHeldWrites();
    if (m_subtitleQueued) {
        m_subtitleQueued = false;
        startSubtitleLoad(std::exchange(m_queuedSubtitle, QString()));
    }
}

int MpvEngine::setSubtitlePlacement(const QString &placement)
{
    const QStringList fields = placement.split(QLatin1Char(';'));
    if (fields.size() >= 3) {
        int64_t position = std::clamp(fields.at(2).toInt(), 0, 150);
        mpv_set_property(m_mpv, "sub-pos", MPV_FORMAT_INT64, &position);
    }
    if (fields.size() >= 2) {
        // Centred text cannot be shifted sideways: a move aligns it to the
        // side it goes to and each further step moves it by the margin.
        const int side = fields.at(1).toInt();
        int64_t margin = side == 0 ? 25 : std::max(0, SideMargin - SideStep * (std::abs(side) - 1));
        const char *align = side == 0 ? "center" : side < 0 ? "left" : "right";
        mpv_set_property_string(m_mpv, "sub-align-x", align);
        mpv_set_property(m_mpv, "sub-margin-x", MPV_FORMAT_INT64, &margin);
    }
    return 0;
}

int MpvEngine::setSubtitleFont(const QString &font)
{
    const QStringList fields = font.split(QLatin1Char(';'));
    const int size = fields.value(1).toInt();
    if (size > 0) {
        double scaled = size * FontSizeScale;
        mpv_set_property(m_mpv, "sub-font-size", MPV_FORMAT_DOUBLE, &scaled);
    }
    return 0;
}

int MpvEngine::setCookie(const QString &cookie)
{
    // The header list goes as a node array: mpv splits a plain string at
    // commas, which would cut cookies apart.
    const bool unsafe = cookie.contains(QLatin1Char('\r')) || cookie.contains(QLatin1Char('\n'));
    QByteArray header = "Cookie: " + cookie.toUtf8();
    mpv_node item {};
    item.format = MPV_FORMAT_STRING;
    item.u.string = header.data();
    mpv_node_list list {};
    list.num = unsafe || cookie.isEmpty() ? 0 : 1;
    list.values = &item;
    mpv_node value {};
    value.format = MPV_FORMAT_NODE_ARRAY;
    value.u.list = &list;
    const int status = mpv_set_property(m_mpv, "http-header-fields", MPV_FORMAT_NODE, &value);
    // A refused cookie also clears the previous one, so nothing stale goes out.
    return unsafe || status < 0 ? 1 : 0;
}

int MpvEngine::applyStreamRecord()
{
    const bool enabled = m_written.value(APlayerControl::CacheEnabledId).toInt() == 1;
    const QByteArray path
        = enabled ? m_written.value(APlayerControl::CacheFilePathId).toUtf8() : QByteArray();
    return mpv_set_property_string(m_mpv, "stream-record", path.constData()) < 0 ? 1 : 0;
}

void MpvEngine::showNotice(const QString &text, int milliseconds)
{
    if (isActive(m_state)) {
        command({ "show-text", text.toUtf8(), QByteArray::number(milliseconds) });
    }
}

QVector<QPair<int, int>> MpvEngine::bufferedRanges() const
{
    QVector<QPair<int, int>> ranges;
    if (m_subtitleRequest != 0 && isActive(m_state)) {
        return m_lastRanges;
    }
    mpv_node state;
    if (!m_mpv || m_interrupted || !isActive(m_state)
        || mpv_get_property(m_mpv, "demuxer-cache-state", MPV_FORMAT_NODE, &state) < 0) {
        return ranges;
    }
    auto field = [](const mpv_node &map, const char *key) -> const mpv_node * {
        if (map.format != MPV_FORMAT_NODE_MAP) {
            return nullptr;
        }
        for (int i = 0; i < map.u.list->num; ++i) {
            if (qstrcmp(map.u.list->keys[i], key) == 0) {
                return &map.u.list->values[i];
            }
        }
        return nullptr;
    };
    const mpv_node *list = field(state, "seekable-ranges");
    if (list && list->format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < list->u.list->num; ++i) {
            const mpv_node *start = field(list->u.list->values[i], "start");
            const mpv_node *end = field(list->u.list->values[i], "end");
            if (start && end && start->format == MPV_FORMAT_DOUBLE
                && end->format == MPV_FORMAT_DOUBLE) {
                ranges.append({ std::max(0, int(start->u.double_ * 1000)),
                    std::max(0, int(end->u.double_ * 1000)) });
            }
        }
    }
    mpv_free_node_contents(&state);
    m_lastRanges = ranges;
    return ranges;
}

void MpvEngine::setInterruptionHandler(std::function<void(int position)> handler)
{
    m_interruptionHandler = std::move(handler);
}

int MpvEngine::reopenInterrupted(const QString &url, int position)
{
    if (!m_interrupted || !m_mpv) {
        return 1;
    }
    const QByteArray urlBytes = url.toUtf8();
    const QByteArray start = QByteArray::number(std::max(0, position) / 1000.0, 'f', 3);
    // Named arguments: the per-file options go as a map, whatever the
    // positional layout of this mpv version.
    mpv_node values[4];
    char *keys[4] = { const_cast<char *>("name"), const_cast<char *>("url"),
        const_cast<char *>("flags"), const_cast<char *>("options") };
    mpv_node startValue {};
    startValue.format = MPV_FORMAT_STRING;
    startValue.u.string = const_cast<char *>(start.constData());
    char *optionKeys[1] = { const_cast<char *>("start") };
    mpv_node_list optionList { 1, &startValue, optionKeys };
    values[0].format = MPV_FORMAT_STRING;
    values[0].u.string = const_cast<char *>("loadfile");
    values[1].format = MPV_FORMAT_STRING;
    values[1].u.string = const_cast<char *>(urlBytes.constData());
    values[2].format = MPV_FORMAT_STRING;
    values[2].u.string = const_cast<char *>("replace");
    values[3].format = MPV_FORMAT_NODE_MAP;
    values[3].u.list = &optionList;
    mpv_node_list argumentList { 4, values, keys };
    mpv_node arguments {};
    arguments.format = MPV_FORMAT_NODE_MAP;
    arguments.u.list = &argumentList;
    mpv_node result;
    if (mpv_command_node(m_mpv, &arguments, &result) < 0) {
        return 1;
    }
    qint64 entry = -1;
    if (result.format == MPV_FORMAT_NODE_MAP) {
        for (int i = 0; i < result.u.list->num; ++i) {
            if (qstrcmp(result.u.list->keys[i], "playlist_entry_id") == 0
                && result.u.list->values[i].format == MPV_FORMAT_INT64) {
                entry = result.u.list->values[i].u.int64;
            }
        }
    }
    mpv_free_node_contents(&result);
    if (entry < 0) {
        return 1;
    }
    m_entryId = entry;
    m_entryStarted = false;
    m_interrupted = false;
    m_lastPosition = std::max(0, position);
    m_playedTo = m_lastPosition;
    return 0;
}

void MpvEngine::endInterrupted()
{
    if (m_interrupted) {
        endCurrentFile();
    }
}
