#pragma once

#include "platform/screensaverinhibitor.h"
#include "resource/videofileinfo.h"

#include <QDateTime>
#include <QObject>
#include <QPair>
#include <QSharedPointer>
#include <QTimer>
#include <QVector>

#include <functional>

class APlayerControl;

// Comforts around the engine that work for every way a file is opened:
// continuing a file where it was left, renewing an address that stopped
// working mid-play, reporting the engine's cached stretches and holding the
// screen saver off while a file plays. It follows
// the engine's signals and reads it once a second while a file is open;
// with nothing open it does no work at all.
class PlaybackComfort : public QObject
{
    Q_OBJECT

public:
    // Renews the record's address (url and cookie) in place; true when a new
    // one is settled. It may run a local event loop.
    using AddressRenewer = std::function<bool(const QSharedPointer<VideoFileInfo> &)>;

    // At most this many renewals of one file within the window; the next
    // failure ends the file.
    static const int MaximumRenewals = 3;
    static const int RenewalWindow = 120000;
    // Pause between a failed renewal and the next try.
    static const int RenewalRetryDelay = 2000;
    // The position is written this often while a file plays.
    static const int SaveEveryTicks = 10;

    explicit PlaybackComfort(APlayerControl *player, QObject *parent = nullptr);
    ~PlaybackComfort() override;

    void setAddressRenewer(AddressRenewer renewer);
    // Remembers where the open file is now (the program is quitting).
    void saveNow();

    // "hh:mm:ss", as the notices show times.
    static QString clock(int milliseconds);

signals:
    // The file continued from a remembered position.
    void resumed(int position);
    // An interrupted file could not be renewed and has ended.
    void renewalFailed();
    // Cached stretches of the open file (ms) and its length; empty when none.
    void bufferedRangesChanged(const QVector<QPair<int, int>> &ranges, int duration);

private:
    void player_onOpenSucceeded();
    void player_onStateChanged(int oldState, int newState);
    void player_onClosed();
    void tick();
    void sample();
    void save();
    void renew();

    APlayerControl *m_player;
    AddressRenewer m_renewer;
    QTimer m_ticker;
    int m_ticks = 0;

    // The file open in the engine and where it was last seen.
    QSharedPointer<VideoFileInfo> m_file;
    int m_position = 0;
    int m_duration = 0;
    QVector<QPair<int, int>> m_ranges;
    QVector<QDateTime> m_renewals;
    bool m_renewing = false;
    ScreenSaverInhibitor m_screenSaver;
};
