#include "platform/screensaverinhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString Service = QStringLiteral("org.freedesktop.ScreenSaver");
const QString Path = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString Interface = QStringLiteral("org.freedesktop.ScreenSaver");

} // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(QObject *parent)
    : QObject(parent)
{
}

ScreenSaverInhibitor::~ScreenSaverInhibitor()
{
    m_wanted = false;
    release();
}

void ScreenSaverInhibitor::setInhibited(bool on)
{
    m_wanted = on;
    if (!on) {
        release();
        return;
    }
    if (m_held || m_pending)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, "Inhibit");
    call << QStringLiteral("Tavrion") << QStringLiteral("播放视频");
    m_pending = true;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
        [this](QDBusPendingCallWatcher *finished) {
            const QDBusPendingReply<uint> reply = *finished;
            finished->deleteLater();
            inhibitReplied(!reply.isError(), reply.isError() ? 0 : reply.value());
        });
}

void ScreenSaverInhibitor::inhibitReplied(bool ok, uint cookie)
{
    m_pending = false;
    if (!ok)
        return;
    m_held = true;
    m_cookie = cookie;
    // Playback may have paused or stopped while the answer was on its way.
    if (!m_wanted)
        release();
}

void ScreenSaverInhibitor::release()
{
    if (!m_held)
        return;
    m_held = false;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, "UnInhibit");
    call << m_cookie;
    QDBusConnection::sessionBus().send(call);
}
