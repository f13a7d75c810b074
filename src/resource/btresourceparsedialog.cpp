#include "resource/btresourceparsedialog.h"

#include "account/reportdialog.h"
#include "account/usersession.h"
#include "app/appsettings.h"
#include "mainwindow/rowwidgetlist.h"
#include "player/aplayercontrol.h"
#include "resource/bencodereader.h"
#include "resource/btresourceparseresultlistitemwidget.h"
#include "resource/playresolvedfile.h"
#include "resource/videofileresolver.h"
#include "service/resourceendpoints.h"

#include "ui_btresourceparsedialog.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>

BTResourceParseDialog::BTResourceParseDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::BTResourceParseDialog>())
{
    ui->setupUi(this);
    // The size of the row form.
    m_rows = new RowWidgetList(
        ui->parseResultListWidget, QSize(790, 31), [this](const QVariant &record, QWidget *parent) {
            auto *row = new BTResourceParseResultListItemWidget(
                record.value<QSharedPointer<VideoFileInfo>>(), parent);
            row->setButtonsEnabled(m_rowButtonsEnabled);
            connect(row, &BTResourceParseResultListItemWidget::playFile, this,
                &BTResourceParseDialog::parseResultListItemWidgetPlayPushButton_clicked);
            connect(row, &BTResourceParseResultListItemWidget::downloadFile, this,
                &BTResourceParseDialog::parseResultListItemWidgetDownloadPushButton_clicked);
            return row;
        });
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->parsePushButton, &QPushButton::clicked, this,
        &BTResourceParseDialog::parsePushButton_clicked);
    connect(ui->browseTorrentFilePushButton, &QPushButton::clicked, this,
        &BTResourceParseDialog::browseTorrentFilePushButton_clicked);
    connect(ui->reportResourcePushButton, &QPushButton::clicked, this,
        &BTResourceParseDialog::reportResourcePushButton_clicked);
    setReturnAction(ui->resourceLineEdit, ui->parsePushButton);
}

BTResourceParseDialog::~BTResourceParseDialog() = default;

void BTResourceParseDialog::parseResource(const QString &text)
{
    ui->resourceLineEdit->setText(text);
    if (ui->parsePushButton->isEnabled())
        parsePushButton_clicked();
}

void BTResourceParseDialog::setInputsEnabled(bool enabled)
{
    ui->resourceLineEdit->setEnabled(enabled);
    ui->parsePushButton->setEnabled(enabled);
    ui->browseTorrentFilePushButton->setEnabled(enabled);
}

void BTResourceParseDialog::setRowButtonsEnabled(bool enabled)
{
    m_rowButtonsEnabled = enabled;
    for (QWidget *widget : m_rows->widgets())
        static_cast<BTResourceParseResultListItemWidget *>(widget)->setButtonsEnabled(enabled);
}

void BTResourceParseDialog::parsePushButton_clicked()
{
    const QString text = ui->resourceLineEdit->text();
    if (text.isEmpty())
        return;
    const QString hash = resourceHashOf(text);
    if (hash.isEmpty()) {
        ui->messageLabel->setText(QStringLiteral("请输入有效的资源！"));
        return;
    }

    setInputsEnabled(false);
    ui->messageLabel->setText(QStringLiteral("正在解析BT资源..."));
    m_rows->clear();

    // A parse started while this one waits (parseResource from the
    // clipboard, say) owns the dialog from then on: this one ends quietly.
    const quint64 generation = ++m_parseGeneration;
    const QPointer<BTResourceParseDialog> self(this);
    const FileListResult result = getResourceFileList(hash);
    if (!self || generation != m_parseGeneration)
        return;

    if (result.status == 1) {
        ui->messageLabel->clear();
        QVector<QVariant> records;
        records.reserve(result.files.size());
        for (const QSharedPointer<VideoFileInfo> &file : result.files)
            records.append(QVariant::fromValue(file));
        // A long list goes in over several turns of the event loop; its rows
        // stay disabled until the last one is in, as in any other run.
        setRowButtonsEnabled(false);
        m_rows->fillRecords(std::move(records));
        if (m_rows->isFilling()) {
            QEventLoop loop;
            connect(m_rows, &RowWidgetList::fillFinished, &loop, &QEventLoop::quit);
            connect(m_rows, &QObject::destroyed, &loop, &QEventLoop::quit);
            loop.exec();
            if (!self || generation != m_parseGeneration)
                return;
        }
        setRowButtonsEnabled(true);
    } else {
        ui->messageLabel->setText(result.message);
    }
    setInputsEnabled(true);
}

void BTResourceParseDialog::browseTorrentFilePushButton_clicked()
{
    AppSettings *settings = AppSettings::instance();
    QString folder = settings->lastBrowsedTorrentFileDirectory();
    if (folder.isEmpty())
        folder = QStringLiteral(".");
    const QString path = Dialog::openFileName(
        this, QStringLiteral("浏览种子文件"), folder, QStringLiteral("种子文件(*.torrent)"));
    if (path.isEmpty())
        return;
    ui->resourceLineEdit->setText(QDir::toNativeSeparators(path));
    settings->setLastBrowsedTorrentFileDirectory(
        QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
}

void BTResourceParseDialog::reportResourcePushButton_clicked()
{
    const int state = APlayerControl::instance->state();
    if (state == APlayerControl::Ready || state == APlayerControl::Closing)
        return;
    // Guarded: this dialog, and with it the report, may be destroyed while the
    // report runs.
    const QPointer<ReportDialog> report = new ReportDialog(this);
    report->exec();
    delete report;
}

void BTResourceParseDialog::parseResultListItemWidgetPlayPushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo, bool reload)
{
    setInputsEnabled(false);
    setRowButtonsEnabled(false);
    const QPointer<BTResourceParseDialog> self(this);
    if (VideoFileResolver::resolve(
            fileInfo, ui->messageLabel, reload, VideoFileResolver::ParseDialogPlay))
        playResolvedFile(fileInfo, this);
    if (!self)
        return;
    setInputsEnabled(true);
    setRowButtonsEnabled(true);
}

void BTResourceParseDialog::parseResultListItemWidgetDownloadPushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    if (!UserSession::instance()->issvip()) {
        ui->messageLabel->setText(QStringLiteral("只有永久VIP才能下载视频！"));
        return;
    }
    setInputsEnabled(false);
    setRowButtonsEnabled(false);
    const QPointer<BTResourceParseDialog> self(this);
    const bool settled = VideoFileResolver::resolve(
        fileInfo, ui->messageLabel, false, VideoFileResolver::ParseDialogDownload);
    if (!self)
        return;
    if (settled) {
        emit downloadVideoFile(fileInfo);
        if (!self)
            return;
        ui->messageLabel->clear();
        close();
    }
    setInputsEnabled(true);
    setRowButtonsEnabled(true);
}
