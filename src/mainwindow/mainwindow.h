#pragma once

#include "mainwindow/clipboardwatch.h"
#include "mainwindow/windowframe.h"
#include "player/playertrack.h"

#include <QEvent>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSharedPointer>

#include <memory>

class APlayerControl;
class PlaybackComfort;
class QKeyEvent;
class QEventLoop;
class QMenu;
class QMouseEvent;
class QNetworkReply;
class QSlider;
class QTimer;
class GlobalHotKey;
class VideoFileInfo;
struct AnnouncementResult;

class TanChuangDialog;
class UserAccountDialog;
class BTResourcePlayRecordDialog;
class SettingsDialog;
class SubtitleSettingDialog;
class BTResourceDownloadDialog;
class BTResourceCollectDialog;
class BTResourceParseDialog;

namespace Ui {
class MainWindow;
}

// The program's only top-level window. It is frameless and draws its own
// title bar, so moving, resizing, maximising and full screen are done here;
// every dialog is opened from here.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    static MainWindow *instance;

    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // A hidden window that is shown (at start, by the boss key, or by any
    // caller, whatever pointer it holds) goes on, once it is on screen, to
    // the day's notices, the login and the clipboard monitor. Showing a window
    // that is visible already does only what QWidget does.
    void setVisible(bool visible) override;

    // Moves a dialog so that it sits over the middle of this window.
    void centreDialog(QWidget *dialog) const;

    bool isTopmost() const { return m_topmost; }

    // Starts (true) or stops the clipboard monitor's one-second tick.
    void setClipboardMonitorRunning(bool running);

public slots:
    void openNewbieTutorialPushButton_clicked();
    void openPlayRecordDialogPushButton_clicked();
    void openUserAccountDialogPushButton_clicked();
    void toggleTopmostPushButton_clicked();
    void maximizePushButton_clicked();
    void aplayerControl_onMessage(int message, int wParam, int lParam);
    void aplayerControl_onStateChanged(int oldState, int newState);
    void aplayerControl_onOpenSucceeded();
    void aplayerControl_onBuffer(int percent);
    void playProgressSlider_valueChanged(int value);
    void playProgressSlider_sliderPressed();
    void playProgressSlider_sliderReleased();
    void playPausePushButton_clicked();
    void stopPlayPushButton_clicked();
    void volumeControlSlider_valueChanged(int value);
    void volumeControlSlider_sliderPressed();
    void volumeControlSlider_sliderReleased();
    void toggleMutePushButton_clicked();
    void openDownloadDialogPushButton_clicked();
    void openCollectDialogPushButton_clicked();
    void openURLPushButton_clicked();
    void fullScreenPushButton_clicked();
    void downloadVideoFile(QSharedPointer<VideoFileInfo> fileInfo);
    void clipboardMonitorTimer_timeout();
    void bossKey_activated();
    // Brings the window forward and parses `text` in the parse dialog.
    void openResource(const QString &text);

private:
    struct DragState
    {
        bool pressed = false;
        int region = 0;
        QRect saved;
    };

    // Dialogs made anew on every request: the previous one closes, the new
    // one deletes itself when closed.
    template <class T> T *recreateDialog(QPointer<T> &slot)
    {
        if (slot)
            slot->close();
        T *dialog = new T(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        slot = dialog;
        return dialog;
    }

    // Dialogs made at the first request and kept for the window's life.
    // `created` tells whether this request made it.
    template <class T> T *keptDialog(QPointer<T> &slot, bool *created = nullptr)
    {
        if (created)
            *created = !slot;
        if (!slot)
            slot = new T(this);
        return slot;
    }

    void centreAndShow(QWidget *dialog);
    // What follows every showing of the hidden window; the login may run
    // modally in here.
    void afterShown();
    // Boss key: hides every window of the program and brings them back in
    // place.
    void hideForBossKey();
    void restoreAfterBossKey();
    // Runs the login dialog modally until it is closed; a hide by the boss
    // key only pauses the run.
    void runLoginDialog(UserAccountDialog *dialog);
    // Gives the window manager a moment to place the window that has just
    // appeared, so that dialogs centre on where it really is.
    void waitUntilPlaced();

    // Announcements and popup notices, account dialog at start.
    void requestAnnouncements();
    void showAnnouncement(const AnnouncementResult &result);
    void rotateAnnouncement(const QMap<QString, QString> &announcements);
    void showDailyPopupNotice();
    void showStartUserAccountDialog();
    void openSettingsDialog();
    void openSubtitleSettingDialog();
    void openHomePage();
    void registerBossKey();
    void openServicePage(const QString &query);

    void setTopmostLook();
    void setMaximizeLook();
    void leaveFullScreen();
    void restoreBarsToLayout();
    void placeOverlayBars();
    QRect overlayBarGeometry(const QWidget *bar) const;
    bool overlayBarsMisplaced(const QObject *watched) const;
    void moveBarsTo(QWidget *parent);
    void updateOverlayBars(const QPoint &pos);

    // Where the announcement shows a link, in the title bar's coordinates;
    // empty while it shows none.
    QRect announcementLinkArea() const;
    bool frameMouseEvent(
        QWidget *widget, WindowFrame::Area area, DragState &drag, QMouseEvent *event);
    void showContextMenu(QWidget *page, const QPoint &pos);

    // Playback controller.
    bool isFileActive() const;
    void startProgressTimer();
    void stopProgressTimer();
    void setStartLook();
    void setPauseLook();
    void setMuteLook(int volume);
    void setIdleProgressStyle();
    void setPlayingProgressStyle();
    bool playbackKey(QKeyEvent *event);
    bool sliderPress(QSlider *slider, QMouseEvent *event);
    bool videoMouseEvent(QMouseEvent *event);
    void postVideoMouseEvent(
        QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, int lParam);

    // Comforts beside the playback controller.
    void setUpComfort();
    void showNotice(const QString &text);
    void seekNotice(int key);
    void progressHover(QEvent *event);

    // Speed, screenshots and tracks.
    void setUpPlayExtras();
    void addPlayExtrasEntries(QMenu *menu);
    bool playExtrasKey(QKeyEvent *event);
    void setPlaybackSpeed(double speed);
    void showSpeedInTimeLabel();
    void takeScreenshot();
    void chooseTrack(PlayerTrack::Kind kind, int id);
    void applyPlayExtrasOnOpen();
    // Qt key of a key pressed on the video window that these extras use; 0
    // for any other.
    static int playExtrasKeyOf(int virtualKey);

    // Picture and sound options.
    void addPictureAndSoundEntries(QMenu *menu);
    void chooseAspectRatio(const QString &value);
    void chooseAudioChannel(const QString &value);
    void chooseRenderMode(const QString &value);
    void toggleImageNormalize();
    void applyOptionsOnOpen();

    std::unique_ptr<Ui::MainWindow> ui;
    APlayerControl *m_player = nullptr;
    // The announcement request while it runs. A request the window does not
    // wait for is given up after the deadline; the window waits this long
    // for it before it first shows.
    QSharedPointer<QNetworkReply> m_announcementReply;
    static const int AnnouncementDeadline = 10000;
    static const int AnnouncementWait = 500;
    PlaybackComfort *m_comfort = nullptr;
    QPointer<TanChuangDialog> m_tanChuangDialog;
    QPointer<UserAccountDialog> m_userAccountDialog;
    QPointer<BTResourcePlayRecordDialog> m_playRecordDialog;
    QPointer<SettingsDialog> m_settingsDialog;
    QPointer<SubtitleSettingDialog> m_subtitleSettingDialog;
    QPointer<BTResourceDownloadDialog> m_downloadDialog;
    QPointer<BTResourceCollectDialog> m_collectDialog;
    QPointer<BTResourceParseDialog> m_parseDialog;

    int m_progressTimerId = 0;
    int m_pressedPosition = 0;
    int m_pressedVolume = 0;
    bool m_videoDoubleClicked = false;
    // Holds for the running program; every start begins at normal speed.
    double m_playbackSpeed = 1.0;

    DragState m_titleBarDrag;
    DragState m_mainPageDrag;
    DragState m_bottomBarDrag;
    QPoint m_titleBarPressPoint;
    bool m_topmost = false;

    // Clipboard monitor and boss key.
    QPointer<QTimer> m_clipboardMonitorTimer;
    ClipboardWatch m_clipboardWatch;
    GlobalHotKey *m_bossKey = nullptr;
    // What the boss key hid: the window's place (in the normal state) and
    // the program's other windows, brought back with it.
    bool m_bossHidden = false;
    QRect m_bossGeometry;
    QList<QPointer<QWidget>> m_bossHiddenWindows;
    // The login's modal run the boss key interrupted, waiting to run again.
    QPointer<QEventLoop> m_loginWaitsForWindow;
};
