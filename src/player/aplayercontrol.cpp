#include "player/aplayercontrol.h"

#include "player/aplayercontroleventhandler.h"
#include "player/mpvengine.h"
#include "player/playerengine.h"

#include <QMessageBox>
#include <QWidget>

APlayerControl *APlayerControl::instance = nullptr;

namespace {
APlayerControl::EngineFactory &engineFactory()
{
    static APlayerControl::EngineFactory factory;
    return factory;
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

APlayerControl::APlayerControl()
{
    instance = this;
}

APlayerControl::~APlayerControl()
{
    // The engine reports through the sink to instance; drop both first.
    m_engine.reset();
    if (instance == this) {
        instance = nullptr;
    }
}

void APlayerControl::setEngineFactory(EngineFactory factory)
{
    engineFactory() = std::move(factory);
}

void APlayerControl::initialize(WId hostWindow)
{
    if (m_engine) {
        return;
    }
    std::unique_ptr<PlayerEngine> engine
        = engineFactory() ? engineFactory()() : std::make_unique<MpvEngine>();
    if (!m_sink) {
        m_sink = std::make_unique<APlayerControlEventHandler>();
    }
    QWidget *host = hostWindow ? QWidget::find(hostWindow) : nullptr;
    QString reason;
    if (!engine->initialize(host, m_sink.get(), &reason)) {
        const QString message = loadFailureMessage(engine->name(), reason);
        QMessageBox::critical(nullptr, QStringLiteral("错误"), message);
        throw EngineLoadError(message.toStdString());
    }
    m_engine = std::move(engine);
}

QString APlayerControl::loadFailureMessage(const QString &engineName, const QString &reason)
{
    QString message = QStringLiteral("加载播放引擎%1失败！").arg(engineName);
    if (!reason.isEmpty()) {
        message += QLatin1Char('\n') + reason;
    }
    return message;
}

bool APlayerControl::open(QSharedPointer<VideoFileInfo> fileInfo)
{
    m_currentFile = fileInfo;
    if (!m_engine || !fileInfo) {
        return false;
    }
    // A cookie that cannot travel as one header would inject others: the
    // address is not opened with it.
    const QString &cookie = fileInfo->comCookie;
    if (cookie.contains(QLatin1Char('\r')) || cookie.contains(QLatin1Char('\n'))
        || setConfig(CookieId, cookie) != 0) {
        return false;
    }
    return m_engine->open(fileInfo->url) == 0;
}

bool APlayerControl::close()
{
    emit onClosed();
    return m_engine && m_engine->close() == 0;
}

bool APlayerControl::play()
{
    return m_engine && m_engine->play() == 0;
}

bool APlayerControl::pause()
{
    return m_engine && m_engine->pause() == 0;
}

int APlayerControl::state() const
{
    return m_engine ? m_engine->state() : Ready;
}

int APlayerControl::duration() const
{
    return m_engine ? m_engine->duration() : 0;
}

int APlayerControl::position() const
{
    return m_engine ? m_engine->position() : 0;
}

void APlayerControl::setPosition(int milliseconds)
{
    if (m_engine) {
        m_engine->seek(milliseconds);
    }
}

void APlayerControl::setVolume(int volume)
{
    if (m_engine) {
        m_engine->setVolume(volume);
    }
}

QSharedPointer<VideoFileInfo> APlayerControl::currentFile() const
{
    return m_currentFile;
}

WId APlayerControl::videoWindowHandle() const
{
    return WId(config(VideoWindowHandleId).toULongLong());
}

void APlayerControl::setRenderMode(int mode)
{
    setConfig(RenderModeId, QString::number(mode));
}

QString APlayerControl::fileAspectRatio() const
{
    return config(FileAspectRatioId);
}

void APlayerControl::setAspectRatio(const QString &ratio)
{
    setConfig(AspectRatioId, ratio);
}

void APlayerControl::setBrightness(int value)
{
    setConfig(BrightnessId, QString::number(value));
}

void APlayerControl::setContrast(int value)
{
    setConfig(ContrastId, QString::number(value));
}

void APlayerControl::setSaturation(int value)
{
    setConfig(SaturationId, QString::number(value));
}

void APlayerControl::setHue(int value)
{
    setConfig(HueId, QString::number(value));
}

void APlayerControl::setImageNormalize(bool on)
{
    setConfig(ImageNormalizeId, flag(on));
}

bool APlayerControl::isImageNormalize() const
{
    return config(ImageNormalizeId).toInt() == 1;
}

void APlayerControl::setAudioChannel(int mode)
{
    setConfig(AudioChannelId, QString::number(mode));
}

void APlayerControl::setSubtitleFile(const QString &path)
{
    setConfig(SubtitleFileId, path);
}

QString APlayerControl::subtitleFile() const
{
    return config(SubtitleFileId);
}

void APlayerControl::setSubtitleVisible(bool visible)
{
    setConfig(SubtitleVisibleId, flag(visible));
}

void APlayerControl::setSubtitlePlacement(const QString &placement)
{
    setConfig(SubtitlePlacementId, placement);
}

QString APlayerControl::subtitlePlacement() const
{
    return config(SubtitlePlacementId);
}

void APlayerControl::setSubtitleFont(const QString &font)
{
    setConfig(SubtitleFontId, font);
}

QString APlayerControl::subtitleFont() const
{
    return config(SubtitleFontId);
}

void APlayerControl::setSubtitleDelay(const QString &delay)
{
    setConfig(SubtitleDelayId, delay);
}

void APlayerControl::setCacheFilePath(const QString &path)
{
    setConfig(CacheFilePathId, path);
}

void APlayerControl::setCacheEnabled(bool enabled)
{
    setConfig(CacheEnabledId, flag(enabled));
}

PlayerEngine *APlayerControl::engine() const
{
    return m_engine.get();
}

int APlayerControl::setConfig(int id, const QString &value)
{
    return m_engine ? m_engine->setConfig(id, value) : 1;
}

QString APlayerControl::config(int id) const
{
    return m_engine ? m_engine->config(id) : QString();
}
