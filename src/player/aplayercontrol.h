#pragma once

#include "player/windowmessage.h"
#include "resource/videofileinfo.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <qwindowdefs.h>

#include <functional>
#include <memory>
#include <stdexcept>

class APlayerControlEventHandler;
class PlayerEngine;

// Raised by APlayerControl::initialize when the engine cannot be created,
// after the user has been told with a message box.
class EngineLoadError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The program's video engine. One per process, reached through
// APlayerControl::instance; it lives until the process ends.
class APlayerControl : public QObject
{
    Q_OBJECT

public:
    enum State {
        Ready = 0,
        Opening = 1,
        Pausing = 2,
        Paused = 3,
        Starting = 4,
        Playing = 5,
        Closing = 6,
    };

    // Numbered configuration values of the engine, exchanged as text.
    enum ConfigId {
        VideoWindowHandleId = 20,
        RenderModeId = 201,
        FileAspectRatioId = 203,
        AspectRatioId = 204,
        BrightnessId = 214,
        ContrastId = 215,
        SaturationId = 216,
        HueId = 217,
        ImageNormalizeId = 305,
        AudioChannelId = 404,
        SubtitleFileId = 503,
        SubtitleVisibleId = 504,
        SubtitlePlacementId = 507,
        SubtitleFontId = 508,
        SubtitleDelayId = 509,
        CookieId = 1105,
        CacheFilePathId = 2201,
        CacheEnabledId = 2207,
    };

    using EngineFactory = std::function<std::unique_ptr<PlayerEngine>()>;

    // The process-wide engine wrapper: the last one constructed.
    static APlayerControl *instance;

    APlayerControl();
    ~APlayerControl() override;

    // Chooses the engine that initialize creates (the libmpv engine unless
    // set); tests put a scripted engine here.
    static void setEngineFactory(EngineFactory factory);

    // Creates the engine and hosts its picture in the widget with this
    // native window handle (0 or an unknown handle: no picture). A second
    // call does nothing. When the engine cannot be created a message box
    // names it and EngineLoadError is raised; the caller ends the program.
    void initialize(WId hostWindow);
    // Text of the message box shown when the engine cannot be created.
    static QString loadFailureMessage(const QString &engineName, const QString &reason);

    // Keeps the file as the current file, hands its cookie to the engine and
    // opens its address. False when the cookie is unsafe (CR or LF) or the
    // engine refuses the address; the current file is replaced either way.
    bool open(QSharedPointer<VideoFileInfo> fileInfo);
    // Emits onClosed, then closes the engine's file.
    bool close();
    bool play();
    bool pause();
    int state() const;
    int duration() const;
    int position() const;
    void setPosition(int milliseconds);
    void setVolume(int volume);
    // The file last passed to open; kept after it closes.
    QSharedPointer<VideoFileInfo> currentFile() const;

    WId videoWindowHandle() const;
    void setRenderMode(int mode);
    QString fileAspectRatio() const;
    void setAspectRatio(const QString &ratio);
    void setBrightness(int value);
    void setContrast(int value);
    void setSaturation(int value);
    void setHue(int value);
    void setImageNormalize(bool on);
    bool isImageNormalize() const;
    void setAudioChannel(int mode);
    void setSubtitleFile(const QString &path);
    QString subtitleFile() const;
    void setSubtitleVisible(bool visible);
    void setSubtitlePlacement(const QString &placement);
    QString subtitlePlacement() const;
    void setSubtitleFont(const QString &font);
    QString subtitleFont() const;
    void setSubtitleDelay(const QString &delay);
    void setCacheFilePath(const QString &path);
    void setCacheEnabled(bool enabled);

    // The engine created by initialize, or nullptr before it.
    PlayerEngine *engine() const;

signals:
    void onMessage(int message, int wParam, int lParam);
    void onStateChanged(int oldState, int newState);
    void onOpenSucceeded();
    void onBuffer(int percent);
    // The open file played to its end (not stopped, not cut short): sent
    // once the engine is back in Ready, after its closing state changes.
    void onEndOfFile();
    void onClosed();

private:
    int setConfig(int id, const QString &value);
    QString config(int id) const;

    std::unique_ptr<PlayerEngine> m_engine;
    std::unique_ptr<APlayerControlEventHandler> m_sink;
    QSharedPointer<VideoFileInfo> m_currentFile;
};
