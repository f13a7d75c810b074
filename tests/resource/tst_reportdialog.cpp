#include "account/reportdialog.h"
#include "app/appsettings.h"
#include "guitest.h"
#include "player/aplayercontrol.h"
#include "scriptedengine.h"
#include "serviceenvironment.h"

#include <QButtonGroup>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <memory>

namespace {

const QString Hash = QStringLiteral("0123456789abcdef0123456789ABCDEF01234567");

} // namespace

// The report form, opened over the resource of the file in the player.
class TestReportDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formStartsWithTheActiveFile();
    void submitNeedsACategory();
    void submitSendsTheCategoryWord_data();
    void submitSendsTheCategoryWord();
    void outcomeIsShownInABox_data();
    void outcomeIsShownInABox();
    void noActiveFileLeavesTheHashEmpty();
    void parentDestroyedWhileTheBoxRuns();

private:
    // Presses submit and answers the message box that follows, if any.
    QString submitAndReadBox();

    std::unique_ptr<ServiceEnvironment> env;
    TestHttpServer *service = nullptr;
    std::unique_ptr<APlayerControl> player;
    std::unique_ptr<QWidget> parent;
    QPointer<ReportDialog> dialog;
};

void TestReportDialog::initTestCase()
{
    APlayerControl::setEngineFactory(scriptedEngines());
    player = std::make_unique<APlayerControl>();
    player->initialize(0);
}

void TestReportDialog::init()
{
    env = std::make_unique<ServiceEnvironment>();
    service = &env->server;
    service->setDefaultAnswer(TestHttpAnswer::json(R"({"statu":1,"msg":""})"));

    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = Hash;
    file->url = QStringLiteral("http://127.0.0.1:1/ftn_handler/x");
    player->open(file);
    parent = std::make_unique<QWidget>();
    dialog = new ReportDialog(parent.get());
    dialog->show();
}

void TestReportDialog::cleanup()
{
    parent.reset();
    player->close();
    env.reset();
}

QString TestReportDialog::submitAndReadBox()
{
    QString text;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        // As the user sees it: markup in a box that reads it shows as markup.
        text = shownText(box->text(), box->textFormat());
        QCOMPARE(box->windowTitle(), QStringLiteral("举报"));
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->buttons().first()->text(), QStringLiteral("确定"));
        box->buttons().first()->click();
    });
    poll.start(20);
    dialog->findChild<QPushButton *>("submitPushButton")->click();
    QTest::qWait(20);
    return text;
}

void TestReportDialog::formStartsWithTheActiveFile()
{
    auto *hash = dialog->findChild<QLineEdit *>("hashLineEdit");
    QCOMPARE(hash->text(), Hash);
    QVERIFY(hash->isReadOnly());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("举报"));
    for (QRadioButton *category : dialog->findChildren<QRadioButton *>())
        QVERIFY(!category->isChecked());
}

void TestReportDialog::submitNeedsACategory()
{
    QCOMPARE(submitAndReadBox(), QString());
    QCOMPARE(service->requestCount(), 0);
}

void TestReportDialog::submitSendsTheCategoryWord_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("desc");

    QTest::newRow("暴恐") << QStringLiteral("baoKongRadioButton")
                          << QByteArray("%E6%9A%B4%E6%81%90");
    QTest::newRow("色情") << QStringLiteral("seQingRadioButton")
                          << QByteArray("%E8%89%B2%E6%83%85");
    QTest::newRow("反动") << QStringLiteral("fanDongRadioButton")
                          << QByteArray("%E5%8F%8D%E5%8A%A8");
    QTest::newRow("血腥") << QStringLiteral("xueXingRadioButton")
                          << QByteArray("%E8%A1%80%E8%85%A5");
}

void TestReportDialog::submitSendsTheCategoryWord()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, desc);

    dialog->findChild<QRadioButton *>(button)->setChecked(true);
    QCOMPARE(submitAndReadBox(), QStringLiteral("举报成功"));
    QCOMPARE(service->requestCount(), 1);
    const QByteArray body = service->lastRequest().body;
    QVERIFY(body.contains("do=report"));
    QVERIFY(body.contains("name=" + Hash.toLatin1()));
    QVERIFY(body.contains("desc=" + desc));

    // The form stays as it was, and the same report can go again.
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->findChild<QRadioButton *>(button)->isChecked());
    QCOMPARE(submitAndReadBox(), QStringLiteral("举报成功"));
    QCOMPARE(service->requestCount(), 2);
}

void TestReportDialog::outcomeIsShownInABox_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");

    QTest::newRow("refused") << 200 << QByteArray(R"({"statu":0,"msg":"请先登录"})")
                             << QStringLiteral("请先登录");
    QTest::newRow("markup in the message")
        << 200 << QByteArray(R"({"statu":0,"msg":"资源不存在 <b>x</b>"})")
        << QStringLiteral("资源不存在 <b>x</b>");
    QTest::newRow("transfer failure") << 500 << QByteArray() << QStringLiteral("服务器请求出错");
}

void TestReportDialog::outcomeIsShownInABox()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, text);

    service->setDefaultAnswer(TestHttpAnswer::json(body, status));
    dialog->findChild<QRadioButton *>("xueXingRadioButton")->setChecked(true);
    QCOMPARE(submitAndReadBox(), text);
    QVERIFY(dialog->isVisible());
}

void TestReportDialog::noActiveFileLeavesTheHashEmpty()
{
    player->close();
    QCOMPARE(player->state(), int(APlayerControl::Ready));
    ReportDialog idle(parent.get());
    QCOMPARE(idle.findChild<QLineEdit *>("hashLineEdit")->text(), QString());
}

void TestReportDialog::parentDestroyedWhileTheBoxRuns()
{
    dialog->findChild<QRadioButton *>("seQingRadioButton")->setChecked(true);
    QTimer::singleShot(100, this, [this] { parent.reset(); });
    dialog->findChild<QPushButton *>("submitPushButton")->click();
    QVERIFY(!dialog);
}

QTEST_MAIN(TestReportDialog)
#include "tst_reportdialog.moc"
