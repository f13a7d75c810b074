#pragma once

#include "resource/videofileinfo.h"

#include <QList>
#include <QSharedPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

class APlayerControl;
class QAbstractButton;
class QLabel;

// Plays the next video file of a resource after one has played to its end:
// the window shows "即将播放下一集：NAME" over the page for a few seconds,
// then the file goes through the same resolution and play step as a row's
// play button. A click on the page or the notice, Escape, the stop button or
// another file opening cancels it. Off with [Player] AutoPlayNext=0.
class NextEpisodeCountdown : public QWidget
{
    Q_OBJECT

public:
    using FileLister = std::function<QList<QSharedPointer<VideoFileInfo>>(const QString &hash)>;
    // Resolves and plays a file; `caller` holds the "messageLabel" that
    // shows the progress and is closed once the file plays.
    using Starter = std::function<void(const QSharedPointer<VideoFileInfo> &, QWidget *caller)>;

    static const int CountdownSeconds = 5;

    // Shown over `area`; clicks on `area` and its children cancel; Escape
    // on `window` and clicks of `stopButton` cancel.
    NextEpisodeCountdown(APlayerControl *player, QWidget *area, QWidget *window,
        QAbstractButton *stopButton, QWidget *parent);

    void setFileLister(FileLister lister);
    void setStarter(Starter starter);
    void setCountdownSeconds(int seconds);

    bool isCounting() const { return m_ticker.isActive(); }
    QSharedPointer<VideoFileInfo> nextFile() const { return m_next; }
    void cancel();

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void countdownStarted(const QSharedPointer<VideoFileInfo> &next);
    void countdownCancelled();
    // The countdown is over and the file is being resolved and opened.
    void countdownFinished(const QSharedPointer<VideoFileInfo> &next);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void player_onOpenSucceeded();
    void player_onStateChanged(int oldState, int newState);
    void player_onEndOfFile();
    void findNext(const QSharedPointer<VideoFileInfo> &ended);
    void tick();
    void startNext();
    void place();

    APlayerControl *m_player;
    QWidget *m_area;
    FileLister m_lister;
    Starter m_starter;
    int m_seconds = CountdownSeconds;
    int m_left = 0;

    // The file open in the engine.
    QSharedPointer<VideoFileInfo> m_file;

    QSharedPointer<VideoFileInfo> m_next;
    QTimer m_ticker;
    QTimer m_hideLater;
    QLabel *m_titleLabel;
    QLabel *m_messageLabel;
    // Counts opens, so that a slow file list for an older file is dropped.
    int m_generation = 0;
};
