#pragma once

#include <QObject>

// Holds the screen saver off through the freedesktop ScreenSaver service on
// the session bus. Without a session bus or the service nothing happens.
// Calls never wait for the bus: the hold is asked for in the background and
// given back as soon as it is no longer wanted, at the latest when this
// object goes away.
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
    bool m_pending = false;
    bool m_held = false;
    uint m_cookie = 0;
};
