#include "app/appsettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace {
const char kDateFormat[] = "yyyy-MM-dd";
// Read through kDateFormat this never yields a valid date, so a missing date
// never compares equal to today.
const char kMissingDate[] = "2100-1-10";
} // namespace

AppSettings *AppSettings::s_instance = nullptr;

AppSettings::AppSettings(const QString &fileName)
    : m_settings(new QSettings(fileName, QSettings::IniFormat))
{
}

AppSettings::~AppSettings() = default;

void AppSettings::initialize(const QString &fileName)
{
    if (!s_instance)
        s_instance = new AppSettings(fileName);
}

AppSettings *AppSettings::instance()
{
    return s_instance;
}

void AppSettings::release()
{
    delete s_instance;
    s_instance = nullptr;
}

bool AppSettings::flag(const QString &key, int defaultValue) const
{
    return m_settings->value(key, defaultValue).toInt() == 1;
}

void AppSettings::setFlag(const QString &key, bool value)
{
    m_settings->setValue(key, value ? 1 : 0);
}

QDate AppSettings::date(const QString &key) const
{
    return QDate::fromString(
        m_settings->value(key, QLatin1String(kMissingDate)).toString(), QLatin1String(kDateFormat));
}

void AppSettings::setDate(const QString &key, const QDate &value)
{
    m_settings->setValue(key, value.toString(QLatin1String(kDateFormat)));
}

bool AppSettings::isFirstLaunched() const
{
    return flag(QStringLiteral("Application/FirstLaunched"), 1);
}

void AppSettings::setFirstLaunched(bool value)
{
    // Written as a boolean; read back with the integer rule, so "false" reads false.
    m_settings->setValue(QStringLiteral("Application/FirstLaunched"), value);
}

QDate AppSettings::lastLaunchedDate() const
{
    return date(QStringLiteral("Application/LastLaunchedDate"));
}

void AppSettings::setLastLaunchedDate(const QDate &value)
{
    setDate(QStringLiteral("Application/LastLaunchedDate"), value);
}

bool AppSettings::isAutoLogin() const
{
    return flag(QStringLiteral("Account/AutoLogin"), 0);
}

void AppSettings::setAutoLogin(bool value)
{
    setFlag(QStringLiteral("Account/AutoLogin"), value);
}

QString AppSettings::lastBrowsedTorrentFileDirectory() const
{
    return m_settings->value(
                         QStringLiteral("LastBrowsedTorrentFile/Directory"), QStringLiteral("."))
        .toString();
}

void AppSettings::setLastBrowsedTorrentFileDirectory(const QString &value)
{
    m_settings->setValue(QStringLiteral("LastBrowsedTorrentFile/Directory"), value);
}

QDate AppSettings::videoFileURLDomainListLastRequestDate() const
{
    return date(QStringLiteral("VideoFileURLDomainList/LastRequestDate"));
}

void AppSettings::setVideoFileURLDomainListLastRequestDate(const QDate &value)
{
    setDate(QStringLiteral("VideoFileURLDomainList/LastRequestDate"), value);
}

int AppSettings::volume() const
{
    return m_settings->value(QStringLiteral("Volume/Value"), 50).toInt();
}

void AppSettings::setVolume(int value)
{
    m_settings->setValue(QStringLiteral("Volume/Value"), value);
}

QString AppSettings::videoAspectRatio() const
{
    return m_settings->value(QStringLiteral("Player/VideoAspectRatio"), QStringLiteral("default"))
        .toString();
}

void AppSettings::setVideoAspectRatio(const QString &value)
{
    m_settings->setValue(QStringLiteral("Player/VideoAspectRatio"), value);
}

QString AppSettings::audioChannelMode() const
{
    return m_settings
        ->value(QStringLiteral("Player/AudioChannelMode"), QStringLiteral("StereoAudioChannel"))
        .toString();
}

void AppSettings::setAudioChannelMode(const QString &value)
{
    m_settings->setValue(QStringLiteral("Player/AudioChannelMode"), value);
}

bool AppSettings::isImageNormalize() const
{
    return flag(QStringLiteral("Player/ImageNormalize"), 0);
}

void AppSettings::setImageNormalize(bool value)
{
    setFlag(QStringLiteral("Player/ImageNormalize"), value);
}

QString AppSettings::renderMode() const
{
    return m_settings->value(QStringLiteral("Player/RenderMode"), QStringLiteral("Renderless"))
        .toString();
}

void AppSettings::setRenderMode(const QString &value)
{
    m_settings->setValue(QStringLiteral("Player/RenderMode"), value);
}

int AppSettings::brightness() const
{
    return m_settings->value(QStringLiteral("Player/Brightness"), 50).toInt();
}

void AppSettings::setBrightness(int value)
{
    m_settings->setValue(QStringLiteral("Player/Brightness"), value);
}

int AppSettings::contrast() const
{
    return m_settings->value(QStringLiteral("Player/Contrast"), 50).toInt();
}

void AppSettings::setContrast(int value)
{
    m_settings->setValue(QStringLiteral("Player/Contrast"), value);
}

int AppSettings::saturation() const
{
    return m_settings->value(QStringLiteral("Player/Saturation"), 50).toInt();
}

void AppSettings::setSaturation(int value)
{
    m_settings->setValue(QStringLiteral("Player/Saturation"), value);
}

int AppSettings::hue() const
{
    return m_settings->value(QStringLiteral("Player/Hue"), 50).toInt();
}

void AppSettings::setHue(int value)
{
    m_settings->setValue(QStringLiteral("Player/Hue"), value);
}

bool AppSettings::isClipboardMonitor() const
{
    return flag(QStringLiteral("Clipboard/Monitor"), 1);
}

void AppSettings::setClipboardMonitor(bool value)
{
    setFlag(QStringLiteral("Clipboard/Monitor"), value);
}

bool AppSettings::isResumePlayback() const
{
    return flag(QStringLiteral("Player/ResumePlayback"), 1);
}

void AppSettings::setResumePlayback(bool value)
{
    setFlag(QStringLiteral("Player/ResumePlayback"), value);
}

bool AppSettings::isAutoPlayNext() const
{
    return flag(QStringLiteral("Player/AutoPlayNext"), 1);
}

void AppSettings::setAutoPlayNext(bool value)
{
    setFlag(QStringLiteral("Player/AutoPlayNext"), value);
}

QString AppSettings::videoFileDownloadDirectory() const
{
    return m_settings
        ->value(QStringLiteral("VideoFile/DownloadDirectory"),
            QDir::toNativeSeparators(
                QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)))
        .toString();
}

void AppSettings::setVideoFileDownloadDirectory(const QString &value)
{
    m_settings->setValue(QStringLiteral("VideoFile/DownloadDirectory"), value);
}

QString AppSettings::serviceBaseAddress() const
{
    return m_settings
        ->value(QStringLiteral("Service/BaseAddress"), QStringLiteral(TAVRION_SERVICE_BASE_ADDRESS))
        .toString();
}

void AppSettings::setServiceBaseAddress(const QString &value)
{
    m_settings->setValue(QStringLiteral("Service/BaseAddress"), value);
}
