#include "resource/playresolvedfile.h"

#include "account/usersession.h"
#include "app/startup.h"
#include "library/playrecordstore.h"
#include "player/aplayercontrol.h"

#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QWidget>

bool playResolvedFile(const QSharedPointer<VideoFileInfo> &fileInfo, QWidget *dialog)
{
    const QPointer<QWidget> caller(dialog);
    const QPointer<QLabel> messageLabel
        = dialog->findChild<QLabel *>(QStringLiteral("messageLabel"));
    APlayerControl *player = APlayerControl::instance;

    if (UserSession::instance()->isvip()) {
        const QString folder = Startup::playerCacheDirectory();
        QDir().mkpath(folder);
        const QString name = QStringLiteral("%1_%2")
                                 .arg(fileInfo->effectiveHash())
                                 .arg(fileInfo->effectiveIndex());
        player->setCacheFilePath(folder + QLatin1Char('/') + name);
        player->setCacheEnabled(true);
    }

    if (messageLabel)
        messageLabel->setText(QStringLiteral("等待播放，如果长时间无法播放，请重试！"));

    // No time limit: the wait lasts until the engine reports the file open or
    // gives it up (back to Ready, directly when the file cannot be played or
    // through Closing when it is stopped). It also ends when the dialog goes
    // away or the program quits. Only an open file is recorded.
    QEventLoop loop;
    bool opened = false;
    QObject::connect(player, &APlayerControl::onOpenSucceeded, &loop, [&] {
        opened = true;
        loop.quit();
    });
    QObject::connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    const bool started = player->open(fileInfo);
    // Connected after open(): replacing a file that plays passes through
    // Ready before the new file starts opening.
    bool failed = !started;
    QObject::connect(
        player, &APlayerControl::onStateChanged, &loop, [&](int oldState, int newState) {
            if (newState != APlayerControl::Ready || opened)
                return;
            failed = oldState == APlayerControl::Opening;
            loop.quit();
        });
    if (started && !opened) {
        if (player->state() == APlayerControl::Opening)
            loop.exec();
        else
            failed = true;
    }
    if (!opened) {
        if (messageLabel)
            messageLabel->setText(
                failed ? QStringLiteral("视频无法播放，请尝试重新加载！") : QString());
        return false;
    }

    if (messageLabel)
        messageLabel->clear();
    if (caller)
        caller->close();
    PlayRecordStore::addPlay(fileInfo->hash, fileInfo->index, fileInfo->jxhash, fileInfo->name);
    return true;
}
