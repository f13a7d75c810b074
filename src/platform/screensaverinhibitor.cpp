#include "platform/screensaverinhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString Service = QStringLiteral("org.freedesktop.ScreenSaver");
const QString Path = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString Interface = QStringLiteral("org.freedesktop.ScreenSaver");
// The longest the program waits for the service when it quits with a hold
// asked for but not yet granted.
constexpr int InhibitTimeout = 2000;

} // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(QObject *parent)
    : QObject(parent)
{
}

ScreenSaverInhibitor::~ScreenSaverInhibitor()
{
    m_wanted = false;
    if (m_pending) {
        QDBusPendingCall pending = *m_pending;
        pending.waitForFinished();
        const QDBusPendingReply<uint> reply = pending;
        if (!reply.isError())
            inhibitReplied(true, reply.value());
    }
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
    m_pending = std::make_unique<QDBusPendingCall>(bus.asyncCall(call, InhibitTimeout));
    auto *watcher = new QDBusPendingCallWatcher(*m_pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
        [this](QDBusPendingCallWatcher *finished) {
            const QDBusPendingReply<uint> reply = *finished;
            finished->deleteLater();
            inhibitReplied(!reply.isError(), reply.isError() ? 0 : reply.value());
        });
}

void ScreenSaverInhibitor::inhibitReplied(bool ok, uint cookie)
{
    m_pending.reset();
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
