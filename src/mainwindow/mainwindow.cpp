#include "mainwindow/mainwindow.h"

#include "app/appsettings.h"
#include "library/btresourcecollectdialog.h"
#include "library/btresourcedownloaddialog.h"
#include "library/btresourceplayrecorddialog.h"
#include "mainwindow/pageopener.h"
#include "platform/sessionplatform.h"
#include "player/aplayercontrol.h"
#include "resource/btresourceparsedialog.h"
#include "service/serverclient.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>
#include <QWindow>
#include <QtMath>

MainWindow *MainWindow::instance = nullptr;

namespace {

QString loadStyleSheet(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint)
    , ui(std::make_unique<Ui::MainWindow>())
{
    instance = this;
    // Lives as long as the process: other windows reach it through
    // APlayerControl::instance.
    m_player = new APlayerControl;
    ui->setupUi(this);
    ui->versionNumberLabel->setText(QStringLiteral("V" TAVRION_VERSION));
    requestAnnouncements();
    setStyleSheet(loadStyleSheet(QStringLiteral(":/qss/mainwindow.qss")));
    setTopmostLook();
    // The page itself shows an arrow: the resize cursors of the bars and the
    // main page must not leak onto the video.
    ui->playPage->setCursor(Qt::ArrowCursor);
    setIdleProgressStyle();
    setStartLook();

    ui->volumeControlSlider->setValue(AppSettings::instance()->volume());
    setMuteLook(ui->volumeControlSlider->value());

    const QList<QObject *> watched = { ui->titleBar, ui->announcementLabel, ui->mainPage,
        ui->playPage, ui->playProgressSlider, ui->volumeControlSlider, ui->bottomBar, this };
    for (QObject *object : watched)
        object->installEventFilter(this);

    connect(ui->openNewbieTutorialPushButton, &QPushButton::clicked, this,
        &MainWindow::openNewbieTutorialPushButton_clicked);
    connect(ui->openPlayRecordDialogPushButton, &QPushButton::clicked, this,
        &MainWindow::openPlayRecordDialogPushButton_clicked);
    connect(ui->openUserAccountDialogPushButton, &QPushButton::clicked, this,
        &MainWindow::openUserAccountDialogPushButton_clicked);
    connect(ui->toggleTopmostPushButton, &QPushButton::clicked, this,
        &MainWindow::toggleTopmostPushButton_clicked);
    connect(ui->minimizePushButton, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(ui->maximizePushButton, &QPushButton::clicked, this,
        &MainWindow::maximizePushButton_clicked);
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->mainPageOpenURLPushButton, &QPushButton::clicked, this,
        &MainWindow::openURLPushButton_clicked);
    connect(m_player, &APlayerControl::onMessage, this, &MainWindow::aplayerControl_onMessage);
    connect(m_player, &APlayerControl::onStateChanged, this,
        &MainWindow::aplayerControl_onStateChanged);
    connect(m_player, &APlayerControl::onOpenSucceeded, this,
        &MainWindow::aplayerControl_onOpenSucceeded);
    connect(m_player, &APlayerControl::onBuffer, this, &MainWindow::aplayerControl_onBuffer);
    connect(ui->playProgressSlider, &QSlider::valueChanged, this,
        &MainWindow::playProgressSlider_valueChanged);
    connect(ui->playProgressSlider, &QSlider::sliderPressed, this,
        &MainWindow::playProgressSlider_sliderPressed);
    connect(ui->playProgressSlider, &QSlider::sliderReleased, this,
        &MainWindow::playProgressSlider_sliderReleased);
    connect(ui->playPausePushButton, &QPushButton::clicked, this,
        &MainWindow::playPausePushButton_clicked);
    connect(ui->stopPlayPushButton, &QPushButton::clicked, this,
        &MainWindow::stopPlayPushButton_clicked);
    connect(ui->volumeControlSlider, &QSlider::valueChanged, this,
        &MainWindow::volumeControlSlider_valueChanged);
    connect(ui->volumeControlSlider, &QSlider::sliderPressed, this,
        &MainWindow::volumeControlSlider_sliderPressed);
    connect(ui->volumeControlSlider, &QSlider::sliderReleased, this,
        &MainWindow::volumeControlSlider_sliderReleased);
    connect(ui->toggleMutePushButton, &QPushButton::clicked, this,
        &MainWindow::toggleMutePushButton_clicked);
    connect(ui->openDownloadDialogPushButton, &QPushButton::clicked, this,
        &MainWindow::openDownloadDialogPushButton_clicked);
    connect(ui->openCollectDialogPushButton, &QPushButton::clicked, this,
        &MainWindow::openCollectDialogPushButton_clicked);
    connect(
        ui->openURLPushButton, &QPushButton::clicked, this, &MainWindow::openURLPushButton_clicked);
    connect(ui->fullScreenPushButton, &QPushButton::clicked, this,
        &MainWindow::fullScreenPushButton_clicked);

    // Only the play page gets a native window for the engine: native
    // ancestors would make the bars native too, and the overlay moves them.
    ui->playPage->setAttribute(Qt::WA_DontCreateNativeAncestors);
    m_player->initialize(ui->playPage->winId());
    setUpComfort();
    setUpPlayExtras();
    registerBossKey();
}

MainWindow::~MainWindow()
{
    setClipboardMonitorRunning(false);
    if (instance == this)
        instance = nullptr;
}

void MainWindow::setVisible(bool visible)
{
    const bool appearing = visible && !isVisible();
    QMainWindow::setVisible(visible);
    if (appearing) {
        if (m_bossHidden)
            restoreAfterBossKey();
        afterShown();
    }
}

void MainWindow::afterShown()
{
    // The video surface sets itself up the first time the play page is
    // shown; showing the page for a moment here (no paint happens in
    // between) lets a file open while the main page is still in front.
    if (ui->stackedWidget->currentWidget() == ui->mainPage) {
        ui->stackedWidget->setCurrentWidget(ui->playPage);
        ui->stackedWidget->setCurrentWidget(ui->mainPage);
    }
    showDailyPopupNotice();
    showStartUserAccountDialog();
    setClipboardMonitorRunning(true);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    // The program ends with its main window, even while a dialog is still
    // open or a request waits for its answer: quitting ends every local
    // event loop, and each wait drops its unfinished request on the way out.
    if (event->isAccepted() && QGuiApplication::quitOnLastWindowClosed())
        QCoreApplication::quit();
}

void MainWindow::centreDialog(QWidget *dialog) const
{
    dialog->move(WindowFrame::centredPosition(geometry(), dialog->size()));
}

void MainWindow::centreAndShow(QWidget *dialog)
{
    centreDialog(dialog);
    dialog->show();
}

// Dialog launchers. Each dialog class plugs in with one line here:
//   recreated: centreAndShow(recreateDialog(m_playRecordDialog));
//   kept:      centreAndShow(keptDialog(m_downloadDialog));

void MainWindow::openPlayRecordDialogPushButton_clicked()
{
    centreAndShow(recreateDialog(m_playRecordDialog));
}

void MainWindow::openDownloadDialogPushButton_clicked()
{
    centreAndShow(keptDialog(m_downloadDialog));
}

void MainWindow::openCollectDialogPushButton_clicked()
{
    centreAndShow(recreateDialog(m_collectDialog));
}

void MainWindow::openURLPushButton_clicked()
{
    bool created = false;
    BTResourceParseDialog *dialog = keptDialog(m_parseDialog, &created);
    if (created)
        connect(dialog, &BTResourceParseDialog::downloadVideoFile, this,
            &MainWindow::downloadVideoFile);
    centreAndShow(dialog);
}

void MainWindow::downloadVideoFile(QSharedPointer<VideoFileInfo> fileInfo)
{
    openDownloadDialogPushButton_clicked();
    m_downloadDialog->addDownload(std::move(fileInfo));
}

void MainWindow::openServicePage(const QString &query)
{
    openPage(this, servicePageUrl(query));
}

void MainWindow::openNewbieTutorialPushButton_clicked()
{
    openServicePage(QStringLiteral("?r=www/default/page&p=jiaocheng"));
}

void MainWindow::openHomePage()
{
    openServicePage(QStringLiteral("?r=www"));
}

void MainWindow::toggleTopmostPushButton_clicked()
{
    // Changed on the existing native window: QWidget::setWindowFlags would
    // recreate it and take the video surface with it.
    m_topmost = !m_topmost;
    if (QWindow *window = windowHandle())
        window->setFlags(window->flags() ^ Qt::WindowStaysOnTopHint);
    setTopmostLook();
}

void MainWindow::setTopmostLook()
{
    ui->toggleTopmostPushButton->setStyleSheet(
        QStringLiteral("QPushButton { border: none; border-radius: 4px; image: url(%1); }"
                       "QPushButton:hover { background: rgba(255, 255, 255, 26); }")
            .arg(m_topmost
                    ? QStringLiteral(":/MainWindow/TitleBar/ToggleTopmostPushButton_Yes.png")
                    : QStringLiteral(":/MainWindow/TitleBar/ToggleTopmostPushButton_No.png")));
}

void MainWindow::setMaximizeLook()
{
    // The style sheet draws the restore glyph while the window is maximised.
    QPushButton *button = ui->maximizePushButton;
    button->setProperty("windowMaximized", isMaximized());
    button->style()->unpolish(button);
    button->style()->polish(button);
}

void MainWindow::maximizePushButton_clicked()
{
    if (isMaximized()) {
        showNormal();
        return;
    }
    const bool wasFullScreen = isFullScreen();
    showMaximized();
    if (wasFullScreen) {
        ui->titleBar->setParent(this);
        ui->bottomBar->setParent(this);
        ui->titleBar->show();
        ui->bottomBar->show();
        restoreBarsToLayout();
    }
}

void MainWindow::fullScreenPushButton_clicked()
{
    if (isFullScreen()) {
        leaveFullScreen();
        return;
    }
    showFullScreen();
    // The bar overlay: the bars float over the page and show only while the
    // pointer is over them. They go into the current page, which fills the
    // stacked widget: the play page has a native window of its own, and
    // widgets beside it could not be drawn over the video.
    moveBarsTo(ui->stackedWidget->currentWidget());
    placeOverlayBars();
    ui->titleBar->hide();
    ui->bottomBar->hide();
}

void MainWindow::leaveFullScreen()
{
    showNormal();
    ui->titleBar->setParent(this);
    ui->titleBar->setGeometry(0, 0, width(), ui->titleBar->height());
    ui->titleBar->show();
    ui->bottomBar->setParent(this);
    ui->bottomBar->setGeometry(
        0, height() - ui->bottomBar->height(), width(), ui->titleBar->height());
    ui->bottomBar->show();
    restoreBarsToLayout();
}

void MainWindow::restoreBarsToLayout()
{
    ui->centralWidgetLayout->removeWidget(ui->stackedWidget);
    ui->centralWidgetLayout->addWidget(ui->titleBar);
    ui->centralWidgetLayout->addWidget(ui->stackedWidget);
    ui->centralWidgetLayout->addWidget(ui->bottomBar);
}

void MainWindow::moveBarsTo(QWidget *parent)
{
    for (QWidget *bar : { ui->titleBar, ui->bottomBar }) {
        const bool visible = bar->isVisibleTo(bar->parentWidget());
        const QRect geometry = bar->geometry();
        bar->setParent(parent);
        bar->setGeometry(geometry);
        bar->setVisible(visible);
        bar->raise();
    }
}

QRect MainWindow::overlayBarGeometry(const QWidget *bar) const
{
    const QSize page = bar->parentWidget()->size();
    const int y = bar == ui->titleBar ? 0 : page.height() - bar->height();
    return QRect(0, y, page.width(), bar->height());
}

void MainWindow::placeOverlayBars()
{
    // Pinned to the top and bottom edges of the page that holds them, at its
    // current size, rather than left where the normal window had them.
    for (QWidget *bar : { ui->titleBar, ui->bottomBar })
        bar->setGeometry(overlayBarGeometry(bar));
}

bool MainWindow::overlayBarsMisplaced(const QObject *watched) const
{
    QWidget *holder = ui->titleBar->parentWidget();
    if (holder != ui->mainPage && holder != ui->playPage)
        return false;
    // The page that holds them changed size (full screen arrives a little
    // after the bars move, and a page hidden meanwhile is resized later).
    if (watched == holder)
        return true;
    // The bars are native windows, so that they stack over the video; the
    // window system may report a geometry from before the page's last
    // resize, which must not stick.
    if (watched == ui->titleBar || watched == ui->bottomBar) {
        const auto *bar = static_cast<const QWidget *>(watched);
        return bar->geometry() != overlayBarGeometry(bar);
    }
    return false;
}

void MainWindow::updateOverlayBars(const QPoint &pos)
{
    if (ui->titleBar->geometry().contains(pos)) {
        if (ui->titleBar->isHidden())
            ui->titleBar->show();
    } else if (ui->bottomBar->geometry().contains(pos)) {
        if (ui->bottomBar->isHidden())
            ui->bottomBar->show();
    } else {
        if (!ui->titleBar->isHidden())
            ui->titleBar->hide();
        if (!ui->bottomBar->isHidden())
            ui->bottomBar->hide();
    }
}

QRect MainWindow::announcementLinkArea() const
{
    const QLabel *label = ui->announcementLabel;
    const QString text = label->text();
    if (!Qt::mightBeRichText(text))
        return {};
    QTextDocument document;
    document.setDefaultFont(label->font());
    document.setDocumentMargin(0);
    document.setHtml(text);
    bool hasLink = false;
    for (QTextBlock block = document.begin(); block.isValid() && !hasLink; block = block.next()) {
        for (auto fragment = block.begin(); !fragment.atEnd() && !hasLink; ++fragment)
            hasLink = fragment.fragment().charFormat().isAnchor();
    }
    if (!hasLink)
        return {};
    // The text is aligned left, so it runs from the label's left edge for the
    // width it needs, over the label's whole height.
    const QRect content = label->contentsRect().translated(label->pos());
    return QRect(content.topLeft(),
        QSize(qMin(qCeil(document.idealWidth()), content.width()), content.height()));
}

bool MainWindow::frameMouseEvent(
    QWidget *widget, WindowFrame::Area area, DragState &drag, QMouseEvent *event)
{
    using WindowFrame::Area;
    const bool normalWindow = !isMaximized() && !isFullScreen();
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (event->button() != Qt::LeftButton)
            return false;
        // Presses on the announcement's link leave it clickable; the rest of
        // the label, empty most of the time, drags the window like the bar.
        if (area == Area::TitleBar && announcementLinkArea().contains(event->pos()))
            return false;
        drag.pressed = true;
        drag.region = WindowFrame::hitRegion(area, widget->size(), event->pos());
        drag.saved = geometry();
        if (area == Area::TitleBar)
            m_titleBarPressPoint = event->globalPos();
        return area == Area::BottomBar;
    case QEvent::MouseButtonRelease:
        if (event->button() != Qt::LeftButton)
            return false;
        drag.pressed = false;
        return area == Area::BottomBar;
    case QEvent::MouseMove:
        if (!normalWindow) {
            // A resize cursor left from the normal window has no use here.
            if (!drag.pressed && cursor().shape() != Qt::ArrowCursor)
                setCursor(Qt::ArrowCursor);
            return false;
        }
        if (!drag.pressed) {
            if (event->buttons() == Qt::NoButton) {
                const int region = WindowFrame::hitRegion(area, widget->size(), event->pos());
                if (region != 0)
                    setCursor(WindowFrame::cursorShape(area, region));
            }
            return false;
        }
        if (area == Area::TitleBar && drag.region == 22) {
            // A Wayland compositor ignores a window's own moves: it moves the
            // window itself, and the press is then its own.
            if (SessionPlatform::runsOnXWayland() && windowHandle()) {
                drag.pressed = false;
                windowHandle()->startSystemMove();
                return false;
            }
            move(drag.saved.topLeft() + (event->globalPos() - m_titleBarPressPoint));
            return false;
        }
        {
            const QRect wanted
                = WindowFrame::resizedGeometry(area, drag.region, drag.saved, event->globalPos());
            // A size outside the limits is ignored, not clamped, so the far
            // edge never jumps.
            if (!wanted.isNull()
                && WindowFrame::fitsSizeLimits(wanted, minimumSize(), maximumSize()))
                setGeometry(wanted);
        }
        return false;
    case QEvent::MouseButtonDblClick:
        if (area == Area::TitleBar && event->button() == Qt::LeftButton
            && (isFullScreen() || isMaximized()
                || WindowFrame::hitRegion(area, widget->size(), event->pos()) == 22))
            maximizePushButton_clicked();
        return area == Area::BottomBar && event->button() == Qt::LeftButton;
    default:
        return false;
    }
}

void MainWindow::showContextMenu(QWidget *page, const QPoint &pos)
{
    QPoint at;
    if (isFullScreen()) {
        at = pos;
    } else if (isMaximized()) {
        at = pos + QPoint(0, ui->titleBar->height());
    } else {
        // The side strips of a normal window resize it; they open no menu.
        if (WindowFrame::hitRegion(WindowFrame::Area::Page, page->size(), pos) != 12)
            return;
        at = pos + QPoint(0, ui->titleBar->height());
    }

    QMenu menu(this);
    menu.addAction(QStringLiteral("打开URL"), this, &MainWindow::openURLPushButton_clicked);
    menu.addAction(
        QStringLiteral("播放记录"), this, &MainWindow::openPlayRecordDialogPushButton_clicked);
    menu.addAction(
        QStringLiteral("资源收藏"), this, &MainWindow::openCollectDialogPushButton_clicked);
    menu.addAction(
        QStringLiteral("视频下载"), this, &MainWindow::openDownloadDialogPushButton_clicked);
    menu.addSeparator();
    menu.addAction(QStringLiteral("软件设置"), this, &MainWindow::openSettingsDialog);
    menu.addAction(QStringLiteral("字幕设置"), this, &MainWindow::openSubtitleSettingDialog);
    menu.addSeparator();
    addPictureAndSoundEntries(&menu);
    addPlayExtrasEntries(&menu);
    menu.addSeparator();
    menu.addAction(QStringLiteral("进入官网"), this, &MainWindow::openHomePage);
    menu.exec(mapToGlobal(at));
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    using WindowFrame::Area;
    const QEvent::Type type = event->type();
    const bool mouse = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease
        || type == QEvent::MouseMove || type == QEvent::MouseButtonDblClick;

    if ((type == QEvent::Resize || type == QEvent::Move) && overlayBarsMisplaced(watched))
        placeOverlayBars();
    // A press on the announcement label outside its link drags the bar, but
    // the label takes the moves and the release that follow: they go on to
    // the bar's drag.
    if (watched == ui->announcementLabel && m_titleBarDrag.pressed
        && (type == QEvent::MouseMove || type == QEvent::MouseButtonRelease)) {
        auto *e = static_cast<QMouseEvent *>(event);
        QMouseEvent onBar(type, QPointF(ui->announcementLabel->mapTo(ui->titleBar, e->pos())),
            e->windowPos(), e->screenPos(), e->button(), e->buttons(), e->modifiers());
        frameMouseEvent(ui->titleBar, Area::TitleBar, m_titleBarDrag, &onBar);
        return type == QEvent::MouseMove;
    }
    if (watched == ui->titleBar && mouse)
        return frameMouseEvent(
            ui->titleBar, Area::TitleBar, m_titleBarDrag, static_cast<QMouseEvent *>(event));
    if (watched == ui->bottomBar && mouse)
        return frameMouseEvent(
            ui->bottomBar, Area::BottomBar, m_bottomBarDrag, static_cast<QMouseEvent *>(event));
    if (watched == ui->mainPage && mouse) {
        auto *e = static_cast<QMouseEvent *>(event);
        if (type == QEvent::MouseMove && isFullScreen())
            updateOverlayBars(e->pos());
        if (type == QEvent::MouseButtonRelease && e->button() == Qt::RightButton
            && !ui->mainPageOpenURLPushButton->geometry().contains(e->pos())) {
            showContextMenu(ui->mainPage, e->pos());
            return false;
        }
        return frameMouseEvent(ui->mainPage, Area::Page, m_mainPageDrag, e);
    }
    if (watched == ui->playPage && mouse)
        return videoMouseEvent(static_cast<QMouseEvent *>(event));
    if ((watched == ui->playProgressSlider || watched == ui->volumeControlSlider)
        && type == QEvent::MouseButtonPress)
        return sliderPress(static_cast<QSlider *>(watched), static_cast<QMouseEvent *>(event));
    if (watched == this) {
        if (type == QEvent::Show)
            setAttribute(Qt::WA_Mapped);
        if (type == QEvent::WindowStateChange)
            setMaximizeLook();
        if (type == QEvent::Timer
            && static_cast<QTimerEvent *>(event)->timerId() == m_progressTimerId
            && m_progressTimerId != 0) {
            ui->playProgressSlider->setValue(m_player->position());
            return true;
        }
        if (type == QEvent::KeyPress && playbackKey(static_cast<QKeyEvent *>(event)))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
