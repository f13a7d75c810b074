#pragma once

#include <QObject>

#include <memory>

class QDBusPendingCall;

// Holds the screen saver off through the freedesktop ScreenSaver service on
// the session bus. Without a session bus or the service nothing happens.
// Calls never wait for the bus: the hold is asked for in the background and
// given back as soon as it is no longer wanted, at the latest when this
// object goes away (which waits briefly for an answer still on its way, so
// that a hold granted just before quitting is not left behind).
class ScreenSaverInhibitor : public QObject
{
    Q_OBJECT

public:
    explicit ScreenSaverInhibitor(QObject *parent = nullptr);
    ~ScreenSaverInhibitor() override;

    void setInhibited(bool on);

private:
    void inhibitReplied(bool ok, uint cookie);
    void release();

    bool m_wanted = false;
    std::unique_ptr<QDBusPendingCall> m_pending; // the hold asked for, not yet answered
    bool m_held = false;
    uint m_cookie = 0;
};
