#pragma once

#include <QDate>
#include <QSharedPointer>
#include <QString>

class QSettings;

// The process-wide settings store over "Config.ini". Every key string, value
// type and default lives here and nowhere else.
class AppSettings
{
public:
    static void initialize(const QString &fileName);
    static AppSettings *instance();
    static void release();

    bool isFirstLaunched() const;
    void setFirstLaunched(bool value);
    QDate lastLaunchedDate() const;
    void setLastLaunchedDate(const QDate &value);
    bool isAutoLogin() const;
    void setAutoLogin(bool value);
    QString lastBrowsedTorrentFileDirectory() const;
    void setLastBrowsedTorrentFileDirectory(const QString &value);
    QDate videoFileURLDomainListLastRequestDate() const;
    void setVideoFileURLDomainListLastRequestDate(const QDate &value);
    int volume() const;
    void setVolume(int value);
    QString videoAspectRatio() const;
    void setVideoAspectRatio(const QString &value);
    QString audioChannelMode() const;
    void setAudioChannelMode(const QString &value);
    bool isImageNormalize() const;
    void setImageNormalize(bool value);
    QString renderMode() const;
    void setRenderMode(const QString &value);
    int brightness() const;
    void setBrightness(int value);
    int contrast() const;
    void setContrast(int value);
    int saturation() const;
    void setSaturation(int value);
    int hue() const;
    void setHue(int value);
    bool isClipboardMonitor() const;
    void setClipboardMonitor(bool value);
    QString videoFileDownloadDirectory() const;
    void setVideoFileDownloadDirectory(const QString &value);
    // Continue a file where it was left (default on).
    bool isResumePlayback() const;
    void setResumePlayback(bool value);

    // [Player] AutoPlayNext, default on: the next video file of a resource
    // follows one that played to its end.
    bool isAutoPlayNext() const;
    void setAutoPlayNext(bool value);

    // Base address of the web service, e.g. "http://127.0.0.1:17080".
    QString serviceBaseAddress() const;
    void setServiceBaseAddress(const QString &value);

    ~AppSettings();

private:
    explicit AppSettings(const QString &fileName);

    bool flag(const QString &key, int defaultValue) const;
    void setFlag(const QString &key, bool value);
    QDate date(const QString &key) const;
    void setDate(const QString &key, const QDate &value);

    QSharedPointer<QSettings> m_settings;
    static AppSettings *s_instance;
};
