// The play record and favourites dialogs against the real tavrion-server:
// plays run the whole pipeline (file list, file hash, address, probe) and end
// in a scripted engine that reports the file open when a test says so.
#include "account/usersession.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "library/btresourcecollectdialog.h"
#include "library/btresourcecollectlistitemwidget.h"
#include "library/btresourceplayrecorddialog.h"
#include "library/btresourceplayrecordlistitemwidget.h"
#include "player/aplayercontrol.h"
#include "resource/videofileresolver.h"
#include "scriptedengine.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"
#include "testdir.h"

#include <QClipboard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocumentFragment>
#include <QtTest>

#include <memory>

namespace {

const QString Email = QStringLiteral("viewer@example.com");
const QString Password = QStringLiteral("viewer-pass");
const QString MissingHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

QJsonObject record(const QString &hash, int index, const QString &name)
{
    return { { "resource_hash", hash }, { "resource_index", index }, { "file_hash", "" },
        { "file_name", name } };
}

bool writeRecords(const QJsonArray &records)
{
    return writeFileBytes(QStringLiteral("PlayRecord.dat"), QJsonDocument(records).toJson());
}

QStringList storedNames()
{
    QStringList names;
    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(QStringLiteral("PlayRecord.dat"))).array();
    for (const QJsonValue &value : records)
        names << value.toObject().value("file_name").toString();
    return names;
}

QListWidget *listOf(QWidget *dialog)
{
    return dialog->findChild<QListWidget *>();
}

// Names of all rows, built or not.
QStringList rowNames(QWidget *dialog)
{
    QStringList names;
    QListWidget *list = listOf(dialog);
    for (int i = 0; i < list->count(); ++i)
        names << list->item(i)->data(Qt::UserRole).value<QSharedPointer<VideoFileInfo>>()->name;
    return names;
}

// The widget of row i, scrolled into view.
QWidget *rowWidget(QWidget *dialog, int i)
{
    QListWidget *list = listOf(dialog);
    list->scrollToItem(list->item(i));
    QCoreApplication::processEvents();
    return list->itemWidget(list->item(i));
}

void clickRow(QWidget *dialog, int i, const char *button)
{
    rowWidget(dialog, i)->findChild<QPushButton *>(QLatin1String(button))->click();
}

QString messageOf(QWidget *dialog)
{
    return dialog->findChild<QLabel *>(QStringLiteral("messageLabel"))->text();
}

// Runs f on the next modal dialog of kind T as soon as it is up.
template <class T = QDialog> void onModal(QObject *context, const std::function<void(T *)> &f)
{
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, f] {
        if (auto *modal = qobject_cast<T *>(QApplication::activeModalWidget())) {
            poll->deleteLater();
            f(modal);
        }
    });
    poll->start(20);
}

} // namespace

class TestLibraryDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void recordListMirrorsTheFile();
    void unreadableRecordFilesShowNothing_data();
    void unreadableRecordFilesShowNothing();
    void playAgainAndRandomPlay();
    void longRecordFileStaysLazy();
    void favouritesRoad();
    void favouriteNamesShownLiterally_data();
    void favouriteNamesShownLiterally();
    void favouriteFailures_data();
    void favouriteFailures();
    void dialogClosedWhileAPlayWaits_data();
    void dialogClosedWhileAPlayWaits();

private:
    QString addResource(const QString &payloadDir);
    void openFileInPlayer(const QString &hash, uint index, const QString &name);
    // Plays row i and lets the engine report the file open.
    void playRow(QWidget *dialog, int i);
    // Lets the engine report the next file open as soon as it starts opening.
    void finishNextOpen();

    QTemporaryDir m_fixtures;
    ServerProcess m_server;
    QString m_clipHash;
    QString m_showHash;
    ScriptedEngine *m_engine = nullptr;
    std::unique_ptr<APlayerControl> m_player;
    std::unique_ptr<ScopedWorkingDirectory> m_dir;
};

QString TestLibraryDialogs::addResource(const QString &payloadDir)
{
    const QString torrent = m_fixtures.filePath(payloadDir + ".torrent");
    ServerProcess::admin({ "make-torrent", torrent, m_fixtures.filePath(payloadDir) });
    return ServerProcess::admin(
        { "add-resource", "--data", m_fixtures.filePath("data"), torrent, m_fixtures.path() })
        .trimmed();
}

void TestLibraryDialogs::initTestCase()
{
    QVERIFY2(!ServerProcess::program().isEmpty(), "tavrion-server is not built");
    Startup::initResources();
    APlayerControl::setEngineFactory(scriptedEngines(&m_engine));
    m_player = std::make_unique<APlayerControl>();
    m_player->initialize(0);

    // Files over 100 KiB, so that the address probe passes.
    QVERIFY(writeFileBytes(m_fixtures.filePath("clip/clip.mp4"), seededBytes(300 * 1024, 300)));
    QVERIFY(writeFileBytes(m_fixtures.filePath("show/ep1.mkv"), seededBytes(200 * 1024, 200)));
    QVERIFY(writeFileBytes(m_fixtures.filePath("show/ep2.mkv"), seededBytes(210 * 1024, 210)));
    m_clipHash = addResource("clip");
    m_showHash = addResource("show");
    QCOMPARE(m_clipHash.size(), 40);
    QCOMPARE(m_showHash.size(), 40);
    ServerProcess::admin({ "add-user", "--data", m_fixtures.filePath("data"), Email, Password });
    QVERIFY2(m_server.start(m_fixtures.filePath("data"), { "--host", "127.0.0.1:0" }),
        qPrintable(m_server.errorOutput()));
}

void TestLibraryDialogs::cleanupTestCase()
{
    m_server.stop();
}

void TestLibraryDialogs::init()
{
    m_dir = std::make_unique<ScopedWorkingDirectory>();
    AppSettings::initialize(QStringLiteral("Config.ini"));
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
    VideoFileResolver::clearCachedDomainLists();
    QCOMPARE(UserSession::instance()->login(Email, Password).status, 1);
    for (const QSharedPointer<VideoFileInfo> &favourite : getCollectList().files)
        QCOMPARE(deleteCollect(favourite->favouriteId).status, 1);
    m_engine->calls.clear();
}

void TestLibraryDialogs::cleanup()
{
    QList<QPointer<QDialog>> dialogs;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialogs << dialog;
    }
    qDeleteAll(dialogs);
    m_player->close();
    AppSettings::release();
    m_dir.reset();
}

void TestLibraryDialogs::openFileInPlayer(const QString &hash, uint index, const QString &name)
{
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = hash;
    file->index = index;
    file->name = name;
    file->url = QStringLiteral("http://127.0.0.1:1/ftn_handler/x");
    m_player->open(file);
    m_engine->finishOpen();
    QCOMPARE(m_player->state(), int(APlayerControl::Playing));
}

void TestLibraryDialogs::playRow(QWidget *dialog, int i)
{
    QPushButton *play = rowWidget(dialog, i)->findChild<QPushButton *>("playPushButton");
    finishNextOpen();
    play->click();
}

void TestLibraryDialogs::finishNextOpen()
{
    auto *once = new QObject(this);
    connect(m_player.get(), &APlayerControl::onStateChanged, once, [this, once](int, int state) {
        if (state != APlayerControl::Opening)
            return;
        QTimer::singleShot(0, this, [this] { m_engine->finishOpen(); });
        once->deleteLater();
    });
}

void TestLibraryDialogs::recordListMirrorsTheFile()
{
    QVERIFY(writeRecords(
        { record(m_clipHash, 0, "新的"), record("B", 2, "中间"), QJsonObject { { "x", 1 } } }));
    QPointer<BTResourcePlayRecordDialog> dialog = new BTResourcePlayRecordDialog;
    dialog->show();
    // Newest first, as stored; a record without keys still gets its row.
    QCOMPARE(rowNames(dialog), QStringList({ "新的", "中间", "" }));

    // Another program adds a record meanwhile; deleting a row removes exactly
    // its record from what is stored now.
    QVERIFY(writeRecords({ record("C", 0, "外来"), record(m_clipHash, 0, "新的"),
        record("B", 2, "中间"), QJsonObject { { "x", 1 } } }));
    clickRow(dialog, 1, "deletePushButton");
    QCOMPARE(rowNames(dialog), QStringList({ "新的", "" }));
    QCOMPARE(storedNames(), QStringList({ "外来", "新的", "" }));

    dialog->findChild<QPushButton *>("flushRecordListPushButton")->click();
    QCOMPARE(rowNames(dialog), QStringList({ "外来", "新的", "" }));

    // Clearing rows empties the file; clearing an empty list leaves it alone.
    dialog->findChild<QPushButton *>("clearRecordListPushButton")->click();
    QCOMPARE(listOf(dialog)->count(), 0);
    QCOMPARE(QFileInfo("PlayRecord.dat").size(), 0);
    QVERIFY(writeRecords({ record("D", 0, "后来") }));
    dialog->findChild<QPushButton *>("clearRecordListPushButton")->click();
    QCOMPARE(storedNames(), QStringList({ "后来" }));
}

void TestLibraryDialogs::unreadableRecordFilesShowNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("not JSON") << QByteArray("\x00\xff[{", 4) << true;
    QTest::newRow("an object") << QByteArray(R"({"file_name":"x"})") << true;
}

void TestLibraryDialogs::unreadableRecordFilesShowNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);
    if (exists)
        QVERIFY(writeFileBytes("PlayRecord.dat", content));
    BTResourcePlayRecordDialog dialog;
    QCOMPARE(listOf(&dialog)->count(), 0);
    dialog.findChild<QPushButton *>("randomPlayPushButton")->click();
    QVERIFY(m_engine->calls.filter("open ").isEmpty());
    QCOMPARE(readFileBytes("PlayRecord.dat"), content);
}

void TestLibraryDialogs::playAgainAndRandomPlay()
{
    QVERIFY(writeRecords({ record(m_showHash, 1, "第二集"), record(m_clipHash, 0, "片段") }));
    auto *dialog = new BTResourcePlayRecordDialog;
    dialog->show();
    QPointer<BTResourcePlayRecordDialog> guard(dialog);

    // Play again: the play buttons rest while the pipeline runs, the file
    // opens, the dialog closes and the record moves to the top.
    bool disabledDuringRun = false;
    connect(m_player.get(), &APlayerControl::onStateChanged, dialog, [&](int, int state) {
        if (state == APlayerControl::Opening)
            disabledDuringRun
                = !dialog->findChild<QPushButton *>("randomPlayPushButton")->isEnabled()
                && !rowWidget(dialog, 0)->findChild<QPushButton *>("playPushButton")->isEnabled();
    });
    playRow(dialog, 1);
    QVERIFY(disabledDuringRun);
    QVERIFY(!dialog->isVisible());
    QVERIFY(m_engine->calls.filter("open ").last().contains("/ftn_handler/"));
    QCOMPARE(storedNames(), QStringList({ "片段", "第二集" }));
    QCOMPARE(m_player->currentFile()->hash, m_clipHash);
    delete dialog;

    // Random play with one record always plays it.
    QVERIFY(writeRecords({ record(m_showHash, 0, "第一集") }));
    dialog = new BTResourcePlayRecordDialog;
    dialog->show();
    finishNextOpen();
    dialog->findChild<QPushButton *>("randomPlayPushButton")->click();
    QCOMPARE(m_player->currentFile()->hash, m_showHash);
    QCOMPARE(m_player->currentFile()->index, 0u);
    QCOMPARE(storedNames(), QStringList({ "第一集" }));
    delete dialog;
}

void TestLibraryDialogs::longRecordFileStaysLazy()
{
    // Written by another program: far more records than the store keeps.
    QJsonArray records;
    for (int i = 0; i < 10000; ++i)
        records.append(record(QStringLiteral("H%1").arg(i), i, QStringLiteral("记录%1").arg(i)));
    QVERIFY(writeRecords(records));
    BTResourcePlayRecordDialog dialog;
    dialog.show();
    QListWidget *list = listOf(&dialog);
    QCOMPARE(list->count(), 10000);
    // Only the rows in view carry widgets, wherever the list is scrolled.
    const auto rowCount = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return list->viewport()->findChildren<BTResourcePlayRecordListItemWidget *>().size();
    };
    QVERIFY(rowCount() > 0 && rowCount() < 60);
    for (int i : { 5000, 9999, 0, 7777 }) {
        auto *row = qobject_cast<BTResourcePlayRecordListItemWidget *>(rowWidget(&dialog, i));
        QVERIFY(row);
        QCOMPARE(row->fileInfo()->name, QStringLiteral("记录%1").arg(i));
        QVERIFY(rowCount() < 60);
    }
    // Deleting a row brings the next one into view with its widget.
    clickRow(&dialog, 7777, "deletePushButton");
    QCOMPARE(list->count(), 9999);
    QVERIFY(rowWidget(&dialog, 7777));
    QCOMPARE(storedNames().size(), 9999);
}

void TestLibraryDialogs::favouritesRoad()
{
    openFileInPlayer(m_clipHash, 0, QStringLiteral("clip.mp4"));
    auto *dialog = new BTResourceCollectDialog;
    dialog->show();
    QTest::qWait(200);
    QPushButton *add = dialog->findChild<QPushButton *>("collectCurrentPlayingResourcePushButton");

    // An empty name does nothing; cancel closes the naming dialog.
    bool stayedOpen = false;
    bool focused = false;
    QString title;
    onModal<QDialog>(this, [&](QDialog *naming) {
        title = naming->windowTitle();
        focused = naming->focusWidget() == naming->findChild<QLineEdit *>("filenameLineEdit");
        naming->findChild<QPushButton *>("okPushButton")->click();
        stayedOpen = QApplication::activeModalWidget() == naming;
        naming->findChild<QPushButton *>("cancelPushButton")->click();
    });
    add->click();
    QVERIFY(stayedOpen);
    QVERIFY(focused);
    QCOMPARE(title, QStringLiteral("收藏当前播放资源"));
    QCOMPARE(getCollectList().files.size(), 0);

    // Return in the name field confirms; the list reloads.
    onModal<QDialog>(this, [&](QDialog *naming) {
        naming->findChild<QLineEdit *>("filenameLineEdit")->setText("我的片段");
        QTest::keyClick(naming->findChild<QLineEdit *>("filenameLineEdit"), Qt::Key_Return);
    });
    add->click();
    QCOMPARE(rowNames(dialog), QStringList({ "我的片段" }));

    // The same file again: the service's message in a box, the naming
    // dialog stays for another try.
    QString boxText;
    bool namingStayed = false;
    onModal<QDialog>(this, [&](QDialog *naming) {
        naming->findChild<QLineEdit *>("filenameLineEdit")->setText("再来");
        onModal<QMessageBox>(this, [&, naming](QMessageBox *messageBox) {
            boxText = messageBox->windowTitle() + "|" + messageBox->text() + "|"
                + messageBox->buttons().first()->text();
            messageBox->buttons().first()->click();
            QTimer::singleShot(50, naming, [&, naming] {
                namingStayed = QApplication::activeModalWidget() == naming;
                naming->close();
            });
        });
        naming->findChild<QPushButton *>("okPushButton")->click();
    });
    add->click();
    QCOMPARE(boxText, QStringLiteral("收藏|该文件已在收藏中|确定"));
    QVERIFY(namingStayed);

    // Copy puts the resource hash on the clipboard.
    clickRow(dialog, 0, "copyURLPushButton");
    QCOMPARE(QGuiApplication::clipboard()->text(), m_clipHash);

    // Play runs the pipeline, closes the dialog and records the favourite's
    // name.
    m_player->close();
    playRow(dialog, 0);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(storedNames(), QStringList({ "我的片段" }));

    // Delete removes it on the service too.
    dialog->show();
    clickRow(dialog, 0, "deletePushButton");
    QCOMPARE(listOf(dialog)->count(), 0);
    QCOMPARE(getCollectList().files.size(), 0);
    dialog->findChild<QPushButton *>("flushCollectListPushButton")->click();
    QCOMPARE(listOf(dialog)->count(), 0);
    QCOMPARE(messageOf(dialog), QString());
    delete dialog;
}

void TestLibraryDialogs::favouriteNamesShownLiterally_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("refusal"); // empty: kept
    QTest::newRow("markup") << QStringLiteral("<b>粗体</b> &amp; <a href='x'>链接</a>")
                            << QString();
    QTest::newRow("quotes") << QStringLiteral("\"引号\" 'single' \\ ;") << QString();
    QTest::newRow("Chinese") << QStringLiteral("第一季 第01集 【中字】") << QString();
    QTest::newRow("1000 characters")
        << QString(100, QChar(0x5F71)) + QStringLiteral("<i>x</i> ").repeated(100) << QString();
    QTest::newRow("2000 Chinese characters") << QString(2000, QChar(0x5F71)) << QString();
    QTest::newRow("2001 characters")
        << QString(2001, QChar(0x5F71)) << QStringLiteral("收藏名称过长，请不要超过2000个字符");
}

void TestLibraryDialogs::favouriteNamesShownLiterally()
{
    QFETCH(QString, name);
    QFETCH(QString, refusal);
    const ServerResult added = addCollect(m_showHash, 1, name);
    if (!refusal.isEmpty()) {
        QCOMPARE(added.status, 0);
        QCOMPARE(added.message, refusal);
        return;
    }
    QVERIFY2(added.status == 1, qPrintable(added.message));
    BTResourceCollectDialog dialog;
    dialog.show();
    QTRY_COMPARE(listOf(&dialog)->count(), 1);
    auto *label = rowWidget(&dialog, 0)->findChild<QLabel *>("filenameLabel");
    QCOMPARE(label->text(), name);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(QTextDocumentFragment::fromHtml(label->toolTip()).toPlainText(), name);
    // Playing it sends the name back in the query of a GET.
    playRow(&dialog, 0);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(storedNames(), QStringList({ name }));
}

void TestLibraryDialogs::favouriteFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("not logged in") << QStringLiteral("logout");
    QTest::newRow("service down") << QStringLiteral("down");
    QTest::newRow("resource gone") << QStringLiteral("gone");
}

void TestLibraryDialogs::favouriteFailures()
{
    QFETCH(QString, situation);
    if (situation == QLatin1String("logout")) {
        QCOMPARE(UserSession::instance()->logout().status, 1);
    } else if (situation == QLatin1String("down")) {
        AppSettings::instance()->setServiceBaseAddress(QStringLiteral("http://127.0.0.1:1"));
    } else {
        QCOMPARE(addCollect(MissingHash, 0, QStringLiteral("已删除的资源")).status, 1);
    }

    // The dialog is up before the service answers.
    BTResourceCollectDialog dialog;
    dialog.show();
    QVERIFY(dialog.isVisible());
    if (situation == QLatin1String("logout")) {
        QTRY_COMPARE(messageOf(&dialog), QStringLiteral("请先登录"));
    } else if (situation == QLatin1String("down")) {
        QTRY_COMPARE(messageOf(&dialog), getCollectList().message);
        QVERIFY(!messageOf(&dialog).isEmpty());
    } else {
        QTRY_COMPARE(listOf(&dialog)->count(), 1);
        clickRow(&dialog, 0, "playPushButton");
        QCOMPARE(messageOf(&dialog), getResourceFileList(MissingHash).message);
        QVERIFY(!messageOf(&dialog).isEmpty());
        QVERIFY(rowWidget(&dialog, 0)->findChild<QPushButton *>("playPushButton")->isEnabled());
    }
    QVERIFY(m_engine->calls.filter("open ").isEmpty());
}

void TestLibraryDialogs::dialogClosedWhileAPlayWaits_data()
{
    QTest::addColumn<bool>("favourites");
    QTest::newRow("play records") << false;
    QTest::newRow("favourites") << true;
}

void TestLibraryDialogs::dialogClosedWhileAPlayWaits()
{
    QFETCH(bool, favourites);
    QPointer<QWidget> dialog;
    if (favourites) {
        QCOMPARE(addCollect(m_clipHash, 0, QStringLiteral("片段")).status, 1);
        dialog = new BTResourceCollectDialog;
        dialog->show();
        QTRY_COMPARE(listOf(dialog)->count(), 1);
    } else {
        QVERIFY(writeRecords({ record(m_clipHash, 0, "片段") }));
        dialog = new BTResourcePlayRecordDialog;
        dialog->show();
    }
    const QByteArray before = readFileBytes("PlayRecord.dat");
    connect(m_player.get(), &APlayerControl::onStateChanged, dialog, [&](int, int state) {
        if (state == APlayerControl::Opening)
            QTimer::singleShot(20, this, [&] { delete dialog; });
    });
    clickRow(dialog, 0, "playPushButton");
    QVERIFY(!dialog);
    m_engine->finishOpen();
    QCoreApplication::processEvents();
    QCOMPARE(readFileBytes("PlayRecord.dat"), before);
}

QTEST_MAIN(TestLibraryDialogs)
#include "tst_librarydialogs.moc"
