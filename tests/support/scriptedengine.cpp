#include "scriptedengine.h"

#include "player/aplayercontrol.h"
#include "player/aplayercontroleventhandler.h"

QString ScriptedEngine::name() const
{
    return QStringLiteral("scripted");
}

bool ScriptedEngine::initialize(
    QWidget *hostWidget, APlayerControlEventHandler *sink, QString *error)
{
    if (failInitialize) {
        if (error) {
            *error = QStringLiteral("scripted failure");
        }
        return false;
    }
    host = hostWidget;
    m_sink = sink;
    return true;
}

int ScriptedEngine::open(const QString &url)
{
    calls << QStringLiteral("open ") + url;
    if (m_state != APlayerControl::Ready) {
        if (m_state != APlayerControl::Closing) {
            changeState(APlayerControl::Closing);
        }
        changeState(APlayerControl::Ready);
    }
    positionMs = 0;
    changeState(APlayerControl::Opening);
    return 0;
}

int ScriptedEngine::close()
{
    calls << QStringLiteral("close");
    if (m_state != APlayerControl::Ready && m_state != APlayerControl::Closing) {
        changeState(APlayerControl::Closing);
        changeState(APlayerControl::Ready);
    }
    return 0;
}

int ScriptedEngine::play()
{
    calls << QStringLiteral("play");
    switch (m_state) {
    case APlayerControl::Pausing:
    case APlayerControl::Paused:
        changeState(APlayerControl::Starting);
        changeState(APlayerControl::Playing);
        return 0;
    case APlayerControl::Starting:
    case APlayerControl::Playing:
        return 0;
    default:
        return 1;
    }
}

int ScriptedEngine::pause()
{
    calls << QStringLiteral("pause");
    switch (m_state) {
    case APlayerControl::Starting:
    case APlayerControl::Playing:
        changeState(APlayerControl::Pausing);
        changeState(APlayerControl::Paused);
        return 0;
    case APlayerControl::Pausing:
    case APlayerControl::Paused:
        return 0;
    default:
        return 1;
    }
}

int ScriptedEngine::state() const
{
    return m_state;
}

int ScriptedEngine::duration() const
{
    return durationMs;
}

int ScriptedEngine::position() const
{
    return positionMs;
}

int ScriptedEngine::seek(int milliseconds)
{
    calls << QStringLiteral("seek %1").arg(milliseconds);
    positionMs = milliseconds;
    return 0;
}

int ScriptedEngine::setVolume(int volume)
{
    calls << QStringLiteral("volume %1").arg(volume);
    return 0;
}

QString ScriptedEngine::config(int id) const
{
    return configValues.value(id);
}

int ScriptedEngine::setConfig(int id, const QString &value)
{
    calls << QStringLiteral("config %1 %2").arg(id).arg(value);
    configValues.insert(id, value);
    return 0;
}

void ScriptedEngine::finishOpen()
{
    event(APlayerControlEventHandler::OpenSucceeded, {});
    changeState(APlayerControl::Starting);
    changeState(APlayerControl::Playing);
}

void ScriptedEngine::failOpen()
{
    changeState(APlayerControl::Ready);
}

void ScriptedEngine::reachEnd()
{
    changeState(APlayerControl::Closing);
    changeState(APlayerControl::Ready);
    event(APlayerControlEventHandler::EndOfFile, {});
}

void ScriptedEngine::buffer(int percent)
{
    event(APlayerControlEventHandler::Buffer, { percent });
}

void ScriptedEngine::message(int message, int wParam, int lParam)
{
    event(APlayerControlEventHandler::Message, { message, wParam, lParam });
}

void ScriptedEngine::changeState(int newState)
{
    const int old = m_state;
    m_state = newState;
    event(APlayerControlEventHandler::StateChanged, { old, newState });
}

void ScriptedEngine::event(int number, const QVector<int> &arguments)
{
    if (m_sink) {
        m_sink->invoke(number, arguments);
    }
}

APlayerControl::EngineFactory scriptedEngines(ScriptedEngine **made)
{
    return [made] {
        auto engine = std::make_unique<ScriptedEngine>();
        if (made)
            *made = engine.get();
        return std::unique_ptr<PlayerEngine>(std::move(engine));
    };
}
