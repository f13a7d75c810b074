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
    void submit_data();
    void submit();
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

// Each category goes as its word; every outcome shows in a box, as plain
// text, and the form stays as it was for another try.
void TestReportDialog::submit_data()
{
    QTest::addColumn<QString>("button"); // empty: no category chosen
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("desc");
    QTest::addColumn<QString>("text"); // the box; empty: none, nothing sent

    const QByteArray ok = R"({"statu":1,"msg":""})";
    QTest::newRow("no category") << QString() << 200 << ok << QByteArray() << QString();
    QTest::newRow("暴恐") << "baoKongRadioButton" << 200 << ok << QByteArray("%E6%9A%B4%E6%81%90")
                          << "举报成功";
    QTest::newRow("色情") << "seQingRadioButton" << 200 << ok << QByteArray("%E8%89%B2%E6%83%85")
                          << "举报成功";
    QTest::newRow("反动") << "fanDongRadioButton" << 200 << ok << QByteArray("%E5%8F%8D%E5%8A%A8")
                          << "举报成功";
    const QByteArray blood = "%E8%A1%80%E8%85%A5";
    QTest::newRow("血腥") << "xueXingRadioButton" << 200 << ok << blood << "举报成功";
    QTest::newRow("refused") << "xueXingRadioButton" << 200
                             << QByteArray(R"({"statu":0,"msg":"请先登录"})") << blood
                             << "请先登录";
    QTest::newRow("markup in the message")
        << "xueXingRadioButton" << 200 << QByteArray(R"({"statu":0,"msg":"资源不存在 <b>x</b>"})")
        << blood << "资源不存在 <b>x</b>";
    QTest::newRow("transfer failure")
        << "xueXingRadioButton" << 500 << QByteArray() << blood << "服务器请求出错";
}

void TestReportDialog::submit()
{
    QFETCH(QString, button);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, desc);
    QFETCH(QString, text);

    service->setDefaultAnswer(TestHttpAnswer::json(body, status));
    if (!button.isEmpty())
        dialog->findChild<QRadioButton *>(button)->setChecked(true);
    const int sent = text.isEmpty() ? 0 : 1;
    for (int round = 1; round <= 2; ++round) {
        QCOMPARE(submitAndReadBox(), text);
        QCOMPARE(service->requestCount(), sent * round);
        QVERIFY(dialog->isVisible());
    }
    if (sent) {
        const QByteArray form = service->lastRequest().body;
        QVERIFY(form.contains("do=report"));
        QVERIFY(form.contains("name=" + Hash.toLatin1()));
        QVERIFY(form.contains("desc=" + desc));
        QVERIFY(dialog->findChild<QRadioButton *>(button)->isChecked());
    }
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
