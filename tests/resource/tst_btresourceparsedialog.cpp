#include "account/reportdialog.h"
#include "account/usersession.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "guitest.h"
#include "player/aplayercontrol.h"
#include "resource/bencodereader.h"
#include "resource/btresourceparsedialog.h"
#include "resource/btresourceparseresultlistitemwidget.h"
#include "resource/videofileresolver.h"
#include "scriptedengine.h"
#include "serviceenvironment.h"
#include "torrentmaker.h"

#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

const QString HashA = QStringLiteral("ABCDEF0123456789ABCDEF0123456789ABCDEF01");
const QString HashB = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString Appdata = QStringLiteral("appdata_0123456789abcdef0123456789ABCDEF");
const QString HashLong = QStringLiteral("1111111111111111111111111111111111111111");
const QString HashHuge = QStringLiteral("4444444444444444444444444444444444444444");
const QString HashMarkupName = QStringLiteral("2222222222222222222222222222222222222222");
const QString HashMarkupMessage = QStringLiteral("3333333333333333333333333333333333333333");
const QString Markup = QStringLiteral("资源不存在 <b>x</b>");

} // namespace

class TestBTResourceParseDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recognition_data();
    void recognition();
    void recognisesATorrentFile();
    void sizeText_data();
    void sizeText();
    void parseShowsRowsAndASecondParseReplacesThem();
    void parseFailures();
    void inputsDisabledWhileParsing();
    void returnInTheInputParses();
    void rowButtonsDisabledWhilePlaying();
    void longListScrolledDuringARun();
    void hugeListArrivesInOrder();
    void aNewerParseOvertakesAnOlderOne_data();
    void aNewerParseOvertakesAnOlderOne();
    void textsFitTheirWidgets_data();
    void textsFitTheirWidgets();
    void serviceTextShownAsSent();
    void playOpensRecordsAndHides_data();
    void playOpensRecordsAndHides();
    void openGivenUpUnlocksTheDialog_data();
    void openGivenUpUnlocksTheDialog();
    void downloadNeedsPermanentVip();
    void downloadHandsTheFileOver();
    void dialogDeletedDuringAWait_data();
    void dialogDeletedDuringAWait();
    void browseFillsThePath();
    void reportOnlyWhileAFileIsActive();

private:
    template <class T> T *child(const char *name) const
    {
        return dialog->findChild<T *>(QLatin1String(name));
    }
    QString message() const { return child<QLabel>("messageLabel")->text(); }
    QList<BTResourceParseResultListItemWidget *> rows() const;
    void parse(const QString &text);
    void logIn(bool vip, bool svip);
    bool inputsEnabled() const;

    std::unique_ptr<ServiceEnvironment> env;
    TestHttpServer *service = nullptr;
    std::unique_ptr<TestHttpServer> videoHost;
    QPointer<BTResourceParseDialog> dialog;
    ScriptedEngine *engine = nullptr;
    std::unique_ptr<APlayerControl> player;
    QByteArray hashReply;
    int serviceDelayMs = 0;
};

void TestBTResourceParseDialog::initTestCase()
{
    Startup::initResources();
    APlayerControl::setEngineFactory(scriptedEngines(&engine));
    player = std::make_unique<APlayerControl>();
    player->initialize(0);
}

void TestBTResourceParseDialog::init()
{
    env = std::make_unique<ServiceEnvironment>();
    service = &env->server;
    VideoFileResolver::clearCachedDomainLists();
    videoHost = std::make_unique<TestHttpServer>();
    QVERIFY(videoHost->start());
    hashReply = R"({"statu":1,"msg":"","data":{"jxhash":"JX"}})";
    serviceDelayMs = 0;
    videoHost->setHandler([](const TestHttpRequest &) {
        TestHttpAnswer answer;
        answer.body = QByteArray(300000, 'v');
        return answer;
    });

    service->setHandler([this](const TestHttpRequest &request) {
        const QByteArray query = request.query() + request.body;
        TestHttpAnswer answer = TestHttpAnswer::json(R"({"statu":0,"msg":"未知请求"})");
        if (query.contains("do=getNewHashFileList")) {
            const QByteArray hash = QUrlQuery(QString::fromLatin1(query))
                                        .queryItemValue(QStringLiteral("hash"))
                                        .toLatin1();
            if (hash == HashA.toLatin1())
                answer = TestHttpAnswer::json(
                    R"({"statu":1,"msg":"","datas":[{"index":1,"name":"第二集.mkv","file_size":1073741823},)"
                    R"({"index":0,"name":"第一集.mkv","file_size":300000}]})");
            else if (hash == HashLong.toLatin1() || hash == HashHuge.toLatin1()) {
                QByteArray files;
                const int count = hash == HashLong.toLatin1() ? 3000 : 100000;
                for (int i = 0; i < count; ++i)
                    files += (i ? "," : "") + QByteArrayLiteral(R"({"index":)")
                        + QByteArray::number(i) + R"(,"name":"f)" + QByteArray::number(i)
                        + R"(.mkv","file_size":1})";
                answer = TestHttpAnswer::json(R"({"statu":1,"msg":"","datas":[)" + files + "]}");
            } else if (hash == HashMarkupName.toLatin1()) {
                answer = TestHttpAnswer::json(QStringLiteral(
                    R"({"statu":1,"msg":"","datas":[{"index":0,"name":"%1","file_size":1}]})")
                                                  .arg(Markup)
                                                  .toUtf8());
            } else if (hash == HashMarkupMessage.toLatin1()) {
                answer = TestHttpAnswer::json(
                    QStringLiteral(R"({"statu":0,"msg":"%1"})").arg(Markup).toUtf8());
            } else if (hash == HashB.toLatin1())
                answer = TestHttpAnswer::json(
                    R"({"statu":1,"msg":"","datas":[{"index":0,"name":"only.mp4","file_size":1073741824}]})");
            else
                answer = TestHttpAnswer::json(R"({"statu":0,"msg":"资源不存在"})");
        } else if (query.contains("cs0=lixian_qq")) {
            answer = TestHttpAnswer::json(hashReply);
        } else if (query.contains("cs0=qqlixian_gethttp")) {
            answer = TestHttpAnswer::json(
                QStringLiteral(
                    R"({"statu":1,"msg":"","data":{"code":"C1","com_cookie":"k=v","field":"%1"}})")
                    .arg(QStringLiteral("127.0.0.1:%1").arg(videoHost->port()))
                    .toUtf8());
        } else if (query.contains("do=getConfig")) {
            answer = TestHttpAnswer::json(R"({"statu":1,"msg":"","data":[]})");
        } else if (query.contains("do=login")) {
            const bool vip = query.contains("vip");
            const bool svip = query.contains("svip");
            answer = TestHttpAnswer::json(
                QStringLiteral(
                    R"({"statu":1,"msg":"","data":{"isvip":%1,"issvip":%2,"viptime":0}})")
                    .arg(vip ? 1 : 0)
                    .arg(svip ? QStringLiteral("true") : QStringLiteral("false"))
                    .toUtf8());
        }
        answer.delayMs = serviceDelayMs;
        return answer;
    });
    logIn(false, false);
    service->clearRequests();
    engine->calls.clear();
    dialog = new BTResourceParseDialog;
    dialog->show();
}

void TestBTResourceParseDialog::cleanup()
{
    delete dialog;
    player->close();
    videoHost.reset();
    env.reset();
}

QList<BTResourceParseResultListItemWidget *> TestBTResourceParseDialog::rows() const
{
    QList<BTResourceParseResultListItemWidget *> result;
    auto *list = child<QListWidget>("parseResultListWidget");
    // The rows that have a widget now: those within reach of the view.
    for (int i = 0; i < list->count(); ++i) {
        if (auto *row
            = qobject_cast<BTResourceParseResultListItemWidget *>(list->itemWidget(list->item(i))))
            result << row;
    }
    return result;
}

void TestBTResourceParseDialog::parse(const QString &text)
{
    child<QLineEdit>("resourceLineEdit")->setText(text);
    child<QPushButton>("parsePushButton")->click();
}

void TestBTResourceParseDialog::logIn(bool vip, bool svip)
{
    const QString user = svip ? QStringLiteral("svip")
        : vip                 ? QStringLiteral("vip")
                              : QStringLiteral("plain");
    UserSession::instance()->login(user + QStringLiteral("@example.org"), QStringLiteral("pw"));
    QCOMPARE(UserSession::instance()->isvip(), vip || svip);
    QCOMPARE(UserSession::instance()->issvip(), svip);
}

bool TestBTResourceParseDialog::inputsEnabled() const
{
    return child<QLineEdit>("resourceLineEdit")->isEnabled()
        && child<QPushButton>("parsePushButton")->isEnabled()
        && child<QPushButton>("browseTorrentFilePushButton")->isEnabled();
}

void TestBTResourceParseDialog::recognition_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hash");

    QTest::newRow("bare hash") << HashB << HashB;
    QTest::newRow("uppercase kept") << HashA << HashA;
    QTest::newRow("magnet link")
        << QStringLiteral("magnet:?xt=urn:btih:%1&dn=Some+Film&tr=udp://x").arg(HashA) << HashA;
    QTest::newRow("appdata id") << QStringLiteral("see %1 here").arg(Appdata) << Appdata;
    QTest::newRow("both forms: the 40 digits win")
        << QStringLiteral("%1 %2").arg(Appdata, HashB) << HashB;
    QTest::newRow("first of two runs") << HashB + QLatin1Char(' ') + HashA << HashB;
    QTest::newRow("39 digits") << HashB.left(39) << QString();
    QTest::newRow("appdata with 31 digits") << Appdata.left(39) << QString();
    QTest::newRow("missing torrent file")
        << QStringLiteral("/nowhere/%1.torrent").arg(HashB) << QString();
    QTest::newRow("nothing") << QStringLiteral("hello") << QString();
}

void TestBTResourceParseDialog::recognition()
{
    QFETCH(QString, text);
    QFETCH(QString, hash);
    QCOMPARE(resourceHashOf(text), hash);
}

void TestBTResourceParseDialog::recognisesATorrentFile()
{
    const MadeTorrent torrent = makeTorrent({ { "film.mkv", 123456789 } }, 262144);
    QVERIFY(writeFileBytes("Film.torrent", QByteArray::fromStdString(torrent.data)));
    QCOMPARE(resourceHashOf(QDir::current().filePath("Film.torrent")),
        QString::fromStdString(torrent.infoHash));

    // Parsing sends the lowercase hash the file yields.
    parse(QDir::current().filePath("Film.torrent"));
    QVERIFY(service->lastRequest().query().contains(
        "hash=" + QByteArray::fromStdString(torrent.infoHash)));
    QCOMPARE(message(), QStringLiteral("资源不存在"));
}

void TestBTResourceParseDialog::sizeText_data()
{
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("2^30") << quint64(1073741824) << QStringLiteral("1.00G");
    QTest::newRow("2^30 - 1") << quint64(1073741823) << QStringLiteral("1024.00MB");
    QTest::newRow("zero") << quint64(0) << QStringLiteral("0.00MB");
    QTest::newRow("700.25MB") << quint64(734265344) << QStringLiteral("700.25MB");
    QTest::newRow("1.5G") << quint64(1610612736) << QStringLiteral("1.50G");
    QTest::newRow("beyond 4G") << quint64(5000000000) << QStringLiteral("4.66G");
}

void TestBTResourceParseDialog::sizeText()
{
    QFETCH(quint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(BTResourceParseResultListItemWidget::sizeText(bytes), text);
}

void TestBTResourceParseDialog::parseShowsRowsAndASecondParseReplacesThem()
{
    parse(QStringLiteral("magnet:?xt=urn:btih:") + HashA);
    QVERIFY(service->lastRequest().query().contains("hash=" + HashA.toLatin1()));
    QCOMPARE(message(), QString());
    QList<BTResourceParseResultListItemWidget *> shown = rows();
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown.at(0)->fileInfo()->name, QStringLiteral("第一集.mkv"));
    QCOMPARE(shown.at(1)->fileInfo()->index, 1u);
    auto *name = shown.at(1)->findChild<QLabel *>("filenameLabel");
    QCOMPARE(name->text(), QStringLiteral("第二集.mkv"));
    QCOMPARE(name->toolTip(), QStringLiteral("第二集.mkv"));
    QCOMPARE(
        shown.at(1)->findChild<QLabel *>("fileSizeLabel")->text(), QStringLiteral("1024.00MB"));
    QCOMPARE(child<QListWidget>("parseResultListWidget")->item(0)->sizeHint(), QSize(790, 31));

    parse(HashB);
    shown = rows();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.at(0)->fileInfo()->name, QStringLiteral("only.mp4"));
    QCOMPARE(shown.at(0)->findChild<QLabel *>("fileSizeLabel")->text(), QStringLiteral("1.00G"));
    QVERIFY(inputsEnabled());
}

void TestBTResourceParseDialog::parseFailures()
{
    parse(HashB);
    QCOMPARE(rows().size(), 1);

    // Not recognised: a message, the earlier rows stay, nothing is sent.
    const int sent = service->requestCount();
    parse(HashB.left(39));
    QCOMPARE(message(), QStringLiteral("请输入有效的资源！"));
    QCOMPARE(rows().size(), 1);
    parse(QString());
    QCOMPARE(service->requestCount(), sent);

    // Refused by the service: its message, and the list is empty.
    parse(QStringLiteral("ffffffffffffffffffffffffffffffffffffffff"));
    QCOMPARE(message(), QStringLiteral("资源不存在"));
    QCOMPARE(rows().size(), 0);
    QVERIFY(inputsEnabled());
}

void TestBTResourceParseDialog::inputsDisabledWhileParsing()
{
    serviceDelayMs = 300;
    bool checked = false;
    connect(service, &TestHttpServer::requestReceived, this, [&] {
        checked = true;
        QVERIFY(!child<QLineEdit>("resourceLineEdit")->isEnabled());
        QVERIFY(!child<QPushButton>("parsePushButton")->isEnabled());
        QVERIFY(!child<QPushButton>("browseTorrentFilePushButton")->isEnabled());
        QVERIFY(child<QPushButton>("closePushButton")->isEnabled());
        QVERIFY(child<QPushButton>("reportResourcePushButton")->isEnabled());
        QCOMPARE(message(), QStringLiteral("正在解析BT资源..."));
    });
    parse(HashA);
    QVERIFY(checked);
    QVERIFY(inputsEnabled());
}

void TestBTResourceParseDialog::returnInTheInputParses()
{
    auto *input = child<QLineEdit>("resourceLineEdit");
    input->setText(HashB);
    QTest::keyClick(input, Qt::Key_Return);
    QCOMPARE(rows().size(), 1);
    QCOMPARE(service->requestCount(), 1);
    // No button took Return for itself as the dialog's default.
    for (QPushButton *button : dialog->findChildren<QPushButton *>())
        QVERIFY(!button->isDefault());
}

void TestBTResourceParseDialog::rowButtonsDisabledWhilePlaying()
{
    parse(HashA);
    hashReply = R"({"statu":0,"msg":"文件不可用"})";
    int checks = 0;
    connect(service, &TestHttpServer::requestReceived, this, [&] {
        ++checks;
        QVERIFY(!inputsEnabled());
        for (BTResourceParseResultListItemWidget *row : rows())
            for (QPushButton *button : row->findChildren<QPushButton *>())
                QVERIFY(!button->isEnabled());
    });
    rows().at(1)->findChild<QPushButton *>("reloadPushButton")->click();
    QCOMPARE(checks, 1);
    QCOMPARE(message(), QStringLiteral("文件不可用"));
    QVERIFY(inputsEnabled());
    for (BTResourceParseResultListItemWidget *row : rows())
        for (QPushButton *button : row->findChildren<QPushButton *>())
            QVERIFY(button->isEnabled());
}

void TestBTResourceParseDialog::longListScrolledDuringARun()
{
    parse(HashLong);
    auto *list = child<QListWidget>("parseResultListWidget");
    QCOMPARE(list->count(), 3000);
    QVERIFY(rows().size() < 100);

    // The row that started the run scrolls out of reach and goes; rows made
    // meanwhile come disabled; afterwards every row is enabled again.
    hashReply = R"({"statu":0,"msg":"文件不可用"})";
    serviceDelayMs = 300;
    bool checked = false;
    QTimer::singleShot(100, this, [&] {
        list->scrollToBottom();
        QTest::qWait(50);
        QVERIFY(list->itemWidget(list->item(2999)));
        for (BTResourceParseResultListItemWidget *row : rows())
            for (QPushButton *button : row->findChildren<QPushButton *>())
                QVERIFY(!button->isEnabled());
        checked = true;
    });
    const QPointer<QWidget> first = rows().at(0);
    first->findChild<QPushButton *>("playPushButton")->click();
    QVERIFY(checked);
    QVERIFY(!first);
    QCOMPARE(message(), QStringLiteral("文件不可用"));
    for (BTResourceParseResultListItemWidget *row : rows())
        for (QPushButton *button : row->findChildren<QPushButton *>())
            QVERIFY(button->isEnabled());
}

void TestBTResourceParseDialog::hugeListArrivesInOrder()
{
    // The rows go in over several turns of the event loop, all disabled
    // until the last one is in.
    int turns = 0;
    bool rowsDisabled = true;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
        ++turns;
        for (BTResourceParseResultListItemWidget *row : rows())
            rowsDisabled
                = rowsDisabled && !row->findChild<QPushButton *>("playPushButton")->isEnabled();
    });
    auto *list = child<QListWidget>("parseResultListWidget");
    connect(list->model(), &QAbstractItemModel::rowsInserted, &tick, [&] { tick.start(0); });
    parse(HashHuge);
    tick.stop();
    QVERIFY(turns > 1);
    QVERIFY(rowsDisabled);
    QCOMPARE(list->count(), 100000);
    for (int row : { 0, 1, 4095, 99999 })
        QCOMPARE(list->item(row)->data(Qt::UserRole).value<QSharedPointer<VideoFileInfo>>()->name,
            QStringLiteral("f%1.mkv").arg(row));
    QCOMPARE(rows().at(0)->findChild<QLabel *>("filenameLabel")->text(), QStringLiteral("f0.mkv"));
    QVERIFY(rows().at(0)->findChild<QPushButton *>("playPushButton")->isEnabled());
    QVERIFY(inputsEnabled());
    QCOMPARE(message(), QString());
}

void TestBTResourceParseDialog::aNewerParseOvertakesAnOlderOne_data()
{
    QTest::addColumn<QString>("older");
    QTest::newRow("waiting for the service") << HashA;
    QTest::newRow("rows arriving") << HashHuge;
}

// A parse started while an older one waits (the slot called directly, as
// the clipboard watch may) wins; the older one lands nothing after it.
void TestBTResourceParseDialog::aNewerParseOvertakesAnOlderOne()
{
    QFETCH(QString, older);
    const auto parseNewer = [this] {
        child<QLineEdit>("resourceLineEdit")->setText(HashB);
        serviceDelayMs = 0;
        dialog->parsePushButton_clicked();
    };
    if (older == HashA) {
        serviceDelayMs = 300;
        QTimer::singleShot(100, this, parseNewer);
    } else {
        connect(child<QListWidget>("parseResultListWidget")->model(),
            &QAbstractItemModel::rowsInserted, this, [&, started = false]() mutable {
                if (!std::exchange(started, true))
                    QTimer::singleShot(0, this, parseNewer);
            });
    }
    parse(older);
    QTest::qWait(400);
    QCOMPARE(child<QListWidget>("parseResultListWidget")->count(), 1);
    QCOMPARE(rows().at(0)->fileInfo()->name, QStringLiteral("only.mp4"));
    QVERIFY(rows().at(0)->findChild<QPushButton *>("playPushButton")->isEnabled());
    QVERIFY(inputsEnabled());
    QCOMPARE(message(), QString());
}

void TestBTResourceParseDialog::textsFitTheirWidgets_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("text");
    QTest::newRow("title") << "parseLabel" << QStringLiteral("解析");
    QTest::newRow("largest MB size") << "fileSizeLabel" << QStringLiteral("1024.00MB");
    QTest::newRow("large G size") << "fileSizeLabel" << QStringLiteral("99999.99G");
    QTest::newRow("longest message")
        << "messageLabel" << QStringLiteral("等待播放，如果长时间无法播放，请重试！");
    QTest::newRow("parse") << "parsePushButton" << QStringLiteral("解析");
    QTest::newRow("close") << "closePushButton" << QStringLiteral("    关闭");
}

void TestBTResourceParseDialog::textsFitTheirWidgets()
{
    QFETCH(QString, widget);
    QFETCH(QString, text);
    Startup::installFontSubstitutions();
    parse(HashA);
    QWidget *target = dialog->findChild<QWidget *>(widget);
    if (auto *label = qobject_cast<QLabel *>(target))
        label->setText(text);
    const QString problem = textFitProblem(target, text);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestBTResourceParseDialog::serviceTextShownAsSent()
{
    parse(HashMarkupMessage);
    auto *message = child<QLabel>("messageLabel");
    QCOMPARE(shownText(message->text(), message->textFormat()), Markup);

    parse(HashMarkupName);
    auto *name = rows().at(0)->findChild<QLabel *>("filenameLabel");
    QCOMPARE(shownText(name->text(), name->textFormat()), Markup);
    QCOMPARE(shownText(name->toolTip(), Qt::AutoText), Markup);
}

void TestBTResourceParseDialog::playOpensRecordsAndHides_data()
{
    QTest::addColumn<bool>("vip");
    QTest::addColumn<bool>("reload");

    QTest::newRow("plain account, play") << false << false;
    QTest::newRow("VIP account, reload") << true << true;
}

void TestBTResourceParseDialog::playOpensRecordsAndHides()
{
    QFETCH(bool, vip);
    QFETCH(bool, reload);

    logIn(vip, false);
    parse(HashA);
    BTResourceParseResultListItemWidget *row = rows().at(0);
    const QSharedPointer<VideoFileInfo> file = row->fileInfo();
    // The engine reports the file open a little after it was asked to open it.
    bool waited = false;
    const auto opening
        = connect(player.get(), &APlayerControl::onStateChanged, this, [&](int, int newState) {
              if (newState != APlayerControl::Opening)
                  return;
              QTimer::singleShot(50, this, [&] {
                  waited = true;
                  QCOMPARE(message(), QStringLiteral("等待播放，如果长时间无法播放，请重试！"));
                  QVERIFY(!inputsEnabled());
                  engine->finishOpen();
              });
          });
    row->findChild<QPushButton *>(reload ? "reloadPushButton" : "playPushButton")->click();
    disconnect(opening);
    QVERIFY(waited);

    for (const TestHttpRequest &request : service->requests()) {
        if (request.query().contains("qqlixian_gethttp"))
            QVERIFY(request.query().contains(reload ? "reload=1" : "reload=0"));
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/ftn_handler/C1").arg(videoHost->port());
    QVERIFY(engine->calls.contains(QStringLiteral("open ") + url));
    QCOMPARE(player->currentFile(), file);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(message(), QString());
    QVERIFY(inputsEnabled());

    const QString cacheFile
        = QDir::tempPath() + QStringLiteral("/Tavrion Cache/") + HashA + QStringLiteral("_0");
    QCOMPARE(
        engine->configValues.value(APlayerControl::CacheFilePathId), vip ? cacheFile : QString());
    QCOMPARE(engine->configValues.value(APlayerControl::CacheEnabledId),
        vip ? QStringLiteral("1") : QString());

    const QJsonArray records = QJsonDocument::fromJson(readFileBytes("PlayRecord.dat")).array();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0)["resource_hash"].toString(), HashA);
    QCOMPARE(records.at(0)["file_hash"].toString(), QStringLiteral("JX"));
    QCOMPARE(records.at(0)["file_name"].toString(), QStringLiteral("第一集.mkv"));
}

void TestBTResourceParseDialog::openGivenUpUnlocksTheDialog_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<QString>("text");

    QTest::newRow("engine cannot open the file")
        << false << QStringLiteral("视频无法播放，请尝试重新加载！");
    QTest::newRow("stopped while opening") << true << QString();
}

void TestBTResourceParseDialog::openGivenUpUnlocksTheDialog()
{
    QFETCH(bool, stopped);
    QFETCH(QString, text);

    parse(HashA);
    const auto opening
        = connect(player.get(), &APlayerControl::onStateChanged, this, [&](int, int newState) {
              if (newState == APlayerControl::Opening)
                  QTimer::singleShot(20, this, [&] {
                      if (stopped)
                          player->close();
                      else
                          engine->failOpen();
                  });
          });
    // Before the mend the wait never ended; deleting the dialog ends it.
    QTimer::singleShot(5000, dialog, [this] { delete dialog; });
    rows().at(0)->findChild<QPushButton *>("playPushButton")->click();
    disconnect(opening);
    QVERIFY2(dialog, "the wait did not end");

    QCOMPARE(message(), text);
    QVERIFY(dialog->isVisible());
    QVERIFY(inputsEnabled());
    for (BTResourceParseResultListItemWidget *row : rows())
        for (QPushButton *button : row->findChildren<QPushButton *>())
            QVERIFY(button->isEnabled());
    QVERIFY(!QFile::exists("PlayRecord.dat"));
}

void TestBTResourceParseDialog::downloadNeedsPermanentVip()
{
    logIn(true, false);
    parse(HashA);
    const int sent = service->requestCount();
    QSignalSpy handedOver(dialog.data(), &BTResourceParseDialog::downloadVideoFile);
    rows().at(0)->findChild<QPushButton *>("downloadPushButton")->click();
    QCOMPARE(message(), QStringLiteral("只有永久VIP才能下载视频！"));
    QCOMPARE(service->requestCount(), sent);
    QCOMPARE(handedOver.count(), 0);
    QVERIFY(inputsEnabled());
}

void TestBTResourceParseDialog::downloadHandsTheFileOver()
{
    logIn(true, true);
    parse(HashA);
    QSignalSpy handedOver(dialog.data(), &BTResourceParseDialog::downloadVideoFile);
    const QSharedPointer<VideoFileInfo> file = rows().at(0)->fileInfo();
    rows().at(0)->findChild<QPushButton *>("downloadPushButton")->click();
    QCOMPARE(handedOver.count(), 1);
    QCOMPARE(handedOver.at(0).at(0).value<QSharedPointer<VideoFileInfo>>(), file);
    QCOMPARE(
        file->url, QStringLiteral("http://127.0.0.1:%1/ftn_handler/C1").arg(videoHost->port()));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(message(), QString());

    // A file too small to pass the probe cannot be downloaded.
    dialog->show();
    videoHost->setHandler([](const TestHttpRequest &) {
        TestHttpAnswer answer;
        answer.body = QByteArray(1000, 'v');
        return answer;
    });
    rows().at(0)->findChild<QPushButton *>("downloadPushButton")->click();
    QCOMPARE(handedOver.count(), 1);
    QCOMPARE(message(), QStringLiteral("筛选视频文件播放地址失败！"));
    QVERIFY(dialog->isVisible());
    QVERIFY(inputsEnabled());
}

void TestBTResourceParseDialog::dialogDeletedDuringAWait_data()
{
    QTest::addColumn<QString>("wait");
    QTest::newRow("file list") << QStringLiteral("parse");
    QTest::newRow("file hash call") << QStringLiteral("hash");
    QTest::newRow("open") << QStringLiteral("open");
    QTest::newRow("rows arriving") << QStringLiteral("rows");
}

void TestBTResourceParseDialog::dialogDeletedDuringAWait()
{
    QFETCH(QString, wait);

    if (wait != QLatin1String("parse"))
        parse(HashA);
    serviceDelayMs = wait == QLatin1String("open") ? 0 : 300;
    if (wait == QLatin1String("open")) {
        connect(player.get(), &APlayerControl::onStateChanged, dialog, [this](int, int newState) {
            if (newState == APlayerControl::Opening)
                QTimer::singleShot(50, this, [this] { delete dialog; });
        });
    } else if (wait == QLatin1String("rows")) {
        connect(child<QListWidget>("parseResultListWidget")->model(),
            &QAbstractItemModel::rowsInserted, this,
            [this] { QTimer::singleShot(0, this, [this] { delete dialog; }); });
    } else {
        QTimer::singleShot(100, this, [this] { delete dialog; });
    }
    if (wait == QLatin1String("parse"))
        parse(HashB);
    else if (wait == QLatin1String("rows"))
        parse(HashHuge);
    else
        rows().at(0)->findChild<QPushButton *>("playPushButton")->click();
    QVERIFY(!dialog);

    // The run stopped where it was: nothing opened late, nothing recorded.
    QTest::qWait(400);
    QVERIFY(!QFile::exists("PlayRecord.dat"));
    if (wait == QLatin1String("open")) {
        engine->finishOpen();
        QVERIFY(!QFile::exists("PlayRecord.dat"));
    } else {
        QVERIFY(engine->calls.filter(QStringLiteral("open")).isEmpty());
    }
}

void TestBTResourceParseDialog::browseFillsThePath()
{
    QVERIFY(writeFileBytes("torrents/a.torrent", "d4:infod1:ai1eee"));
    const QString path = QDir::current().filePath("torrents/a.torrent");
    // The answer is typed into the name field, as a user would.
    QString title;
    QStringList filters;
    WhenModal<QFileDialog> answer([&](QFileDialog *fileDialog) {
        title = fileDialog->windowTitle();
        filters = fileDialog->nameFilters();
        fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(fileDialog)->accept();
    });
    child<QPushButton>("browseTorrentFilePushButton")->click();
    QCOMPARE(title, QStringLiteral("浏览种子文件"));
    QCOMPARE(filters, QStringList { QStringLiteral("种子文件(*.torrent)") });
    QCOMPARE(child<QLineEdit>("resourceLineEdit")->text(), QDir::toNativeSeparators(path));
    QCOMPARE(AppSettings::instance()->lastBrowsedTorrentFileDirectory(),
        QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
    QCOMPARE(service->requestCount(), 0);
}

void TestBTResourceParseDialog::reportOnlyWhileAFileIsActive()
{
    bool opened = false;
    auto closeReport = [&] {
        auto *report = qobject_cast<ReportDialog *>(QApplication::activeModalWidget());
        opened = report != nullptr;
        if (report) {
            QCOMPARE(report->findChild<QLineEdit *>("hashLineEdit")->text(), HashB);
            report->close();
        }
    };
    QTimer::singleShot(100, this, closeReport);
    child<QPushButton>("reportResourcePushButton")->click();
    QTest::qWait(200);
    QVERIFY(!opened);

    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = HashB;
    file->url = QStringLiteral("http://127.0.0.1:1/x");
    player->open(file);
    QCOMPARE(player->state(), int(APlayerControl::Opening));
    QTimer::singleShot(100, this, closeReport);
    child<QPushButton>("reportResourcePushButton")->click();
    QVERIFY(opened);
    QVERIFY(!dialog->findChild<ReportDialog *>());
}

QTEST_MAIN(TestBTResourceParseDialog)
#include "tst_btresourceparsedialog.moc"
