// Picture and sound options of the context menu: saved in the settings, and
// sent to the engine at once while a file is active.

#include "mainwindow/mainwindow.h"

#include "app/appsettings.h"
#include "mainwindow/playeroptions.h"
#include "player/aplayercontrol.h"

#include <QActionGroup>
#include <QMenu>

namespace {

// A submenu of exclusive, checkable entries; the entry whose value is the
// saved one carries the check mark.
template <class Choose>
void addChoiceMenu(QMenu *menu, const QString &title, const QList<PlayerOptions::Entry> &entries,
    const QString &saved, Choose choose)
{
    QMenu *submenu = menu->addMenu(title);
    auto *group = new QActionGroup(submenu);
    group->setExclusive(true);
    for (const PlayerOptions::Entry &entry : entries) {
        QAction *action = submenu->addAction(entry.label);
        action->setCheckable(true);
        action->setChecked(entry.value == saved);
        group->addAction(action);
        const QString value = entry.value;
        QObject::connect(action, &QAction::triggered, submenu, [choose, value] { choose(value); });
    }
}

} // namespace

void MainWindow::addPictureAndSoundEntries(QMenu *menu)
{
    AppSettings *settings = AppSettings::instance();
    addChoiceMenu(menu, QStringLiteral("视频比例"), PlayerOptions::aspectRatioEntries(),
        settings->videoAspectRatio(), [this](const QString &value) { chooseAspectRatio(value); });
    addChoiceMenu(menu, QStringLiteral("声道模式"), PlayerOptions::audioChannelEntries(),
        settings->audioChannelMode(), [this](const QString &value) { chooseAudioChannel(value); });
    menu->addAction(QStringLiteral("色彩调整"), this, &MainWindow::openSettingsDialog);
    QAction *normalize = menu->addAction(QStringLiteral("画质增强"));
    normalize->setCheckable(true);
    normalize->setChecked(settings->isImageNormalize());
    connect(normalize, &QAction::triggered, this, &MainWindow::toggleImageNormalize);
    addChoiceMenu(menu, QStringLiteral("渲染模式"), PlayerOptions::renderModeEntries(),
        settings->renderMode(), [this](const QString &value) { chooseRenderMode(value); });
}

void MainWindow::chooseAspectRatio(const QString &value)
{
    if (isFileActive())
        m_player->setAspectRatio(
            PlayerOptions::aspectRatioEngineText(value, m_player->fileAspectRatio()));
    AppSettings::instance()->setVideoAspectRatio(value);
}

void MainWindow::chooseAudioChannel(const QString &value)
{
    if (isFileActive())
        m_player->setAudioChannel(PlayerOptions::audioChannelNumber(value));
    AppSettings::instance()->setAudioChannelMode(value);
}

void MainWindow::chooseRenderMode(const QString &value)
{
    if (isFileActive())
        m_player->setRenderMode(PlayerOptions::renderModeNumber(value));
    AppSettings::instance()->setRenderMode(value);
}

void MainWindow::toggleImageNormalize()
{
    // The setting follows the engine: with no file open the click only
    // copies the engine's current state into it.
    if (isFileActive())
        m_player->setImageNormalize(!m_player->isImageNormalize());
    AppSettings::instance()->setImageNormalize(m_player->isImageNormalize());
}

void MainWindow::applyOptionsOnOpen()
{
    AppSettings *settings = AppSettings::instance();
    m_player->setAspectRatio(PlayerOptions::aspectRatioEngineText(
        settings->videoAspectRatio(), m_player->fileAspectRatio()));
    m_player->setAudioChannel(PlayerOptions::audioChannelNumber(settings->audioChannelMode()));
}
