#include "app/appsettings.h"
#include "guitest.h"
#include "library/btresourcedownloaddialog.h"
#include "library/btresourcedownloadlistitemwidget.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

namespace {

QByteArray payload(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i % 253);
    return bytes;
}

QStringList listing(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

QString labelText(QWidget *row, const char *name)
{
    return row->findChild<QLabel *>(QLatin1String(name))->text();
}

} // namespace

class TestBTResourceDownloadDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowLabels_data();
    void rowLabels();
    void downloadsRoad();

private:
    QSharedPointer<VideoFileInfo> file(const QString &name, const QByteArray &body, int stallAt);
    BTResourceDownloadListItemWidget *row(int i) const;

    std::unique_ptr<ScopedWorkingDirectory> m_dir;
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<BTResourceDownloadDialog> m_dialog;
    QListWidget *m_list = nullptr;
};

void TestBTResourceDownloadDialog::init()
{
    m_dir = std::make_unique<ScopedWorkingDirectory>();
    AppSettings::initialize(QStringLiteral("Config.ini"));
    QVERIFY(QDir().mkpath(QStringLiteral("first")));
    QVERIFY(QDir().mkpath(QStringLiteral("second")));
    AppSettings::instance()->setVideoFileDownloadDirectory(
        QDir::toNativeSeparators(m_dir->filePath(QStringLiteral("first"))));
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
    m_dialog = std::make_unique<BTResourceDownloadDialog>();
    m_list = m_dialog->findChild<QListWidget *>(QStringLiteral("downloadListWidget"));
}

void TestBTResourceDownloadDialog::cleanup()
{
    m_dialog.reset();
    m_server.reset();
    AppSettings::release();
    m_dir.reset();
}

// A file of the host; its answer sends the body, or stops after stallAt bytes.
QSharedPointer<VideoFileInfo> TestBTResourceDownloadDialog::file(
    const QString &name, const QByteArray &body, int stallAt)
{
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->hash = QStringLiteral("h") + name;
    info->name = name;
    info->fileSize = quint64(body.size());
    const QString path = QStringLiteral("/ftn_handler/") + QString::number(qHash(name));
    info->url = m_server->url(path).toString();
    m_server->setHandler([=](const TestHttpRequest &request) {
        TestHttpAnswer answer = TestHttpAnswer::withStatus(404);
        if (request.path() == path.toUtf8()) {
            answer = TestHttpAnswer::withStatus(200, body);
            answer.stallAfterBodyBytes = stallAt;
        }
        return answer;
    });
    return info;
}

BTResourceDownloadListItemWidget *TestBTResourceDownloadDialog::row(int i) const
{
    return qobject_cast<BTResourceDownloadListItemWidget *>(m_list->itemWidget(m_list->item(i)));
}

void TestBTResourceDownloadDialog::rowLabels_data()
{
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("700 MiB") << quint64(700) * 1048576 << "700.00MB";
    QTest::newRow("just below 1 GiB") << quint64(1073741823) << "1024.00MB";
    QTest::newRow("1 GiB") << quint64(1073741824) << "1.00G";
    QTest::newRow("1.5 GiB") << quint64(1610612736) << "1.50G";
    QTest::newRow("above 32 bits") << (quint64(5) << 32) << "20.00G";
}

void TestBTResourceDownloadDialog::rowLabels()
{
    QFETCH(quint64, size);
    QFETCH(QString, text);
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->name = QStringLiteral("第1集 <b>x</b>.mkv");
    info->fileSize = size;
    BTResourceDownloadListItemWidget widget(info);
    QCOMPARE(widget.size(), QSize(790, 31));
    QCOMPARE(labelText(&widget, "fileSizeLabel"), text);
    QCOMPARE(labelText(&widget, "filenameLabel"), info->name);
    QCOMPARE(shownText(widget.findChild<QLabel *>(QStringLiteral("filenameLabel"))->toolTip(),
                 Qt::RichText),
        info->name);
    QCOMPARE(labelText(&widget, "downloadProgressLabel"), QString());
}

// The dialog as a user drives it: a stalled download and a finished one in
// two folders, the dialog hidden and shown again, rows deleted.
void TestBTResourceDownloadDialog::downloadsRoad()
{
    const QString first = m_dir->filePath(QStringLiteral("first"));
    const QString second = m_dir->filePath(QStringLiteral("second"));
    QCOMPARE(m_dialog->findChild<QLineEdit *>(QStringLiteral("downloadDirectoryLineEdit"))->text(),
        QDir::toNativeSeparators(first));
    m_dialog->show();

    // A transfer that stalls half way: only its ".tmp" is in the folder.
    const QByteArray slowBody = payload(80000);
    m_dialog->addDownload(file(QStringLiteral("slow:1.mkv"), slowBody, 40000));
    QCOMPARE(m_list->count(), 1);
    QCOMPARE(m_list->item(0)->sizeHint(), QSize(790, 31));
    QTRY_COMPARE(labelText(row(0), "downloadProgressLabel"), QStringLiteral("50.00%"));
    QCOMPARE(listing(first), QStringList { "slow1.mkv.tmp" });

    // The same file again: it may not write the running row's ".tmp", so it
    // fails at once; its delete button removes that row, not the first one
    // of the same resource file.
    QPointer<BTResourceDownloadListItemWidget> slow = row(0);
    m_dialog->addDownload(slow->fileInfo());
    QTRY_COMPARE(labelText(row(1), "downloadProgressLabel"), QStringLiteral("下载失败"));
    row(1)->findChild<QPushButton *>(QStringLiteral("deletePushButton"))->click();
    QCOMPARE(m_list->count(), 1);
    QCOMPARE(row(0), slow.data());
    QCOMPARE(readFileBytes(first + QStringLiteral("/slow1.mkv.tmp")), slowBody.left(40000));

    // A new folder counts for transfers started afterwards only.
    QString title;
    WhenModal<QFileDialog> choose([&](QFileDialog *dialog) {
        title = dialog->windowTitle();
        dialog->setDirectory(second);
        static_cast<QDialog *>(dialog)->accept();
    });
    m_dialog->findChild<QPushButton *>(QStringLiteral("selectDownloadDirectroryPushButton"))
        ->click();
    QCOMPARE(title, QStringLiteral("选择下载目录"));
    QCOMPARE(
        AppSettings::instance()->videoFileDownloadDirectory(), QDir::toNativeSeparators(second));
    QCOMPARE(m_dialog->findChild<QLineEdit *>(QStringLiteral("downloadDirectoryLineEdit"))->text(),
        QDir::toNativeSeparators(second));

    // Closing hides the dialog; the transfer finishes meanwhile.
    const QByteArray body = payload(120000);
    m_dialog->addDownload(file(QStringLiteral("done.mkv"), body, -1));
    m_dialog->findChild<QPushButton *>(QStringLiteral("closePushButton"))->click();
    QVERIFY(!m_dialog->isVisible());
    QTRY_COMPARE(labelText(row(1), "downloadProgressLabel"), QStringLiteral("下载完成"));
    QCOMPARE(readFileBytes(second + QStringLiteral("/done.mkv")), body);
    QCOMPARE(listing(second), QStringList { "done.mkv" });
    QCOMPARE(labelText(row(1), "downloadSpeedLabel"), QString());
    QVERIFY(!row(1)->findChild<QPushButton *>(QStringLiteral("deletePushButton"))->isEnabled());
    m_dialog->show();
    QCOMPARE(m_list->count(), 2);
    // A picture of a running and a finished row, kept as a test artefact.
    const QString artefacts
        = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/library/artefacts");
    QDir().mkpath(artefacts);
    m_dialog->grab().save(artefacts + QStringLiteral("/download-dialog-rows.png"));

    // Deleting the stalled row stops it and removes its ".tmp".
    slow->findChild<QPushButton *>(QStringLiteral("deletePushButton"))->click();
    QCOMPARE(m_list->count(), 1);
    QCOMPARE(listing(first), QStringList());
    QTRY_VERIFY(!slow);
    QCOMPARE(listing(second), QStringList { "done.mkv" });
}

QTEST_MAIN(TestBTResourceDownloadDialog)
#include "tst_btresourcedownloaddialog.moc"
