#pragma once

#include <QObject>
#include <QPointer>
#include <QVariantMap>

class MainWindow;
class QDBusObjectPath;
class QSlider;

// The player on the session bus under the media player remote-control
// interface, so desktop media keys, panels and `playerctl` can drive it.
// Every command goes through the main window's own controls, so the window
// always shows what a remote did. Without a session bus nothing happens.
class MprisService : public QObject
{
    Q_OBJECT

public:
    // Publishes `window`'s player; false (silently) when there is no session
    // bus or the name is taken. The service lives as long as the window.
    static bool publish(MainWindow *window);

    QString playbackStatus() const;
    QVariantMap metadata() const;
    qlonglong position() const;
    double volume() const;
    void setVolume(double volume);
    bool canSeek() const;

    void raise();
    void play();
    void pause();
    void playPause();
    void stop();
    void seek(qlonglong offset);
    void setPosition(const QDBusObjectPath &trackId, qlonglong position);
    void openUri(const QString &uri);

signals:
    void seeked(qlonglong position);

private:
    explicit MprisService(MainWindow *window);

    // Tells listeners which of the watched properties changed since last time.
    void announceChanges();
    void moveTo(qlonglong position);

    QPointer<MainWindow> m_window;
    QPointer<QSlider> m_volumeSlider;
    QVariantMap m_announced;
};
