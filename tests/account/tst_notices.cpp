// Announcements in the title bar and the daily popup notice.

#include "accountservice.h"

#include "account/announcements.h"
#include "account/tanchuangdialog.h"
#include "account/useraccountdialog.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>

namespace {

QColor shownColour(TanChuangDialog *dialog)
{
    auto *area = dialog->findChild<QWidget *>(QStringLiteral("centralWidget"));
    return area->palette().brush(QPalette::Window).texture().toImage().pixelColor(5, 5);
}

bool hasPicture(TanChuangDialog *dialog)
{
    auto *area = dialog->findChild<QWidget *>(QStringLiteral("centralWidget"));
    return !area->palette().brush(QPalette::Window).texture().isNull();
}

QTimer *timerWithInterval(QObject *owner, int interval)
{
    for (QTimer *timer : owner->findChildren<QTimer *>()) {
        if (timer->interval() == interval && timer->isActive())
            return timer;
    }
    return nullptr;
}

void fire(QTimer *timer)
{
    QMetaObject::invokeMethod(timer, "timeout");
}

} // namespace

class TestNotices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Startup::initResources(); }

    // The label starts on the lowest title and each tick moves one title on,
    // round to the first; a label it does not know starts over.
    void rotation_data()
    {
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("B before A")
            << QStringList { "B", "A" } << QString() << QStringList { "B", "A", "B" };
        QTest::newRow("one") << QStringList { "X" } << QString() << QStringList { "X", "X" };
        QTest::newRow("title with >")
            << QStringList { "a>b</a>c", "z" } << QString() << QStringList { "z", "a>b</a>c", "z" };
        QTest::newRow("markup title")
            << QStringList { "<b>x</b>", "y" } << QString() << QStringList { "y", "<b>x</b>" };
        QTest::newRow("unknown label")
            << QStringList { "A", "B" } << QStringLiteral("hello") << QStringList { "A", "B" };
    }

    void rotation()
    {
        QFETCH(QStringList, titles);
        QFETCH(QString, start);
        QFETCH(QStringList, shown);
        QMap<QString, QString> map;
        for (const QString &title : titles)
            map.insert(title, QStringLiteral("http://example.org/?t=") + title);
        QString text
            = start.isEmpty() ? Announcements::labelText(map.first(), map.firstKey()) : start;
        QStringList seen;
        for (int i = 0; i < shown.size(); ++i) {
            const auto next = Announcements::next(map, text);
            seen.append(next.key());
            text = Announcements::labelText(next.value(), next.key());
            // Shown as the plain title, whatever it holds.
            QCOMPARE(shownText(text, Qt::RichText), next.key());
        }
        QCOMPARE(seen, shown);
    }

    // Pages turn every 5 s and by hand, round in both directions; a page
    // whose picture cannot be decoded keeps its place and its link.
    void popupPaging()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        PopupNoticeResult notice;
        notice.status = 1;
        notice.enable = true;
        notice.pages = { { png(Qt::red), QUrl("http://example.org/1") },
            { png(Qt::green), QUrl("http://example.org/2") },
            { "no picture", QUrl("http://example.org/broken") },
            { png(Qt::blue, QSize(40, 40)), QUrl("http://example.org/3") } };
        TanChuangDialog dialog;
        dialog.setPopupNotice(notice);
        dialog.show();
        QCOMPARE(dialog.size(), QSize(710, 440));
        QCOMPARE(dialog.pageCount(), 4);
        QCOMPARE(shownColour(&dialog), QColor(Qt::red));

        QTimer *timer = timerWithInterval(&dialog, 5000);
        QVERIFY(timer);
        fire(timer);
        QCOMPARE(shownColour(&dialog), QColor(Qt::green));
        fire(timer);
        QVERIFY(!hasPicture(&dialog));
        QTest::mouseClick(dialog.findChild<QWidget *>("centralWidget"), Qt::LeftButton);
        fire(timer);
        QCOMPARE(shownColour(&dialog), QColor(Qt::blue));
        fire(timer);
        QCOMPARE(dialog.currentPage(), 0);
        dialog.findChild<QPushButton *>("previousPagePushButton")->click();
        QCOMPARE(dialog.currentPage(), 3);
        dialog.findChild<QPushButton *>("nextPagePushButton")->click();
        QCOMPARE(dialog.currentPage(), 0);

        QTest::mouseClick(dialog.findChild<QWidget *>("centralWidget"), Qt::LeftButton);
        QVERIFY(dialog.isVisible());
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(catcher.urls,
            QList<QUrl>({ QUrl("http://example.org/broken"), QUrl("http://example.org/1") }));

        // One page: no arrows, no paging.
        notice.pages = { { png(Qt::red), QUrl("http://example.org/1") } };
        TanChuangDialog single;
        single.setPopupNotice(notice);
        single.show();
        QVERIFY(!single.findChild<QPushButton *>("nextPagePushButton")->isVisible());
        QVERIFY(!single.findChild<QPushButton *>("previousPagePushButton")->isVisible());
        QVERIFY(!timerWithInterval(&single, 5000));

        // Two pages, one of them bad: still two pages with arrows and paging.
        notice.pages = { { "GIF89", QUrl("http://example.org/bad") },
            { png(Qt::green), QUrl("http://example.org/2") } };
        TanChuangDialog pair;
        pair.setPopupNotice(notice);
        pair.show();
        QCOMPARE(pair.pageCount(), 2);
        QVERIFY(!hasPicture(&pair));
        QVERIFY(pair.findChild<QPushButton *>("nextPagePushButton")->isVisible());
        QVERIFY(pair.findChild<QPushButton *>("previousPagePushButton")->isVisible());
        QTimer *pairTimer = timerWithInterval(&pair, 5000);
        QVERIFY(pairTimer);
        fire(pairTimer);
        QCOMPARE(shownColour(&pair), QColor(Qt::green));
    }

    // Announcements come once with the window and rotate every 10 s; the
    // popup notice comes with the first start of a day only.
    void noticesOfTheMainWindow()
    {
        AccountService service;
        APlayerControl::setEngineFactory(scriptedEngines());
        service.answer(QStringLiteral("www/default/pc/gonggao"),
            "{\"statu\":1,\"data\":[{\"title\":\"B\",\"url\":\"http://example.org/b\"},"
            "{\"title\":\"A\",\"url\":\"http://example.org/a\"}]}");
        const QByteArray picture = "\"" + service.server.url("/notice/1.png").toEncoded() + "\"";
        const QByteArray broken = "\"" + service.server.url("/notice/2.png").toEncoded() + "\"";
        service.answer(QStringLiteral("www/default/pc/tanchuang"),
            "{\"statu\":1,\"data\":{\"enable\":\"true\",\"datas\":[{\"img\":" + picture
                + ",\"url\":\"http://example.org/n1\"},{\"img\":" + broken
                + ",\"url\":\"http://example.org/n2\"}]}}");
        service.answers.insert(QStringLiteral("/notice/1.png"), TestHttpAnswer::json(png(Qt::red)));
        // Downloaded but not a picture: the page stays, without one.
        service.answers.insert(QStringLiteral("/notice/2.png"), TestHttpAnswer::json("GIF89"));
        AppSettings::instance()->setLastLaunchedDate(QDate::currentDate().addDays(-1));
        {
            MainWindow window;
            auto *label = window.findChild<QLabel *>(QStringLiteral("announcementLabel"));
            QCOMPARE(label->text(), Announcements::labelText("http://example.org/a", "A"));
            QCOMPARE(label->toolTip(), QStringLiteral("A"));
            QTimer *rotation = timerWithInterval(&window, 10000);
            QVERIFY(rotation);
            fire(rotation);
            QCOMPARE(label->toolTip(), QStringLiteral("B"));

            {
                WhenModal<UserAccountDialog> close([](UserAccountDialog *d) { d->close(); });
                window.show();
            }
            auto *popup = window.findChild<TanChuangDialog *>();
            QVERIFY(popup && popup->isVisible());
            QCOMPARE(popup->pageCount(), 2);
            QCOMPARE(popup->pos(),
                window.pos() + QPoint((window.width() - 710) / 2, (window.height() - 440) / 2));
            popup->close();
            QTRY_VERIFY(!window.findChild<TanChuangDialog *>());

            // Back from the boss key on the same day: no second popup.
            AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
            {
                WhenModal<UserAccountDialog> close([](UserAccountDialog *d) { d->close(); });
                window.show();
            }
            QCOMPARE(service.count(QStringLiteral("www/default/pc/tanchuang")), 1);
            QCOMPARE(service.count(QStringLiteral("www/default/pc/gonggao")), 1);
            QVERIFY(!window.findChild<TanChuangDialog *>());
        }
        delete APlayerControl::instance;
    }

    // The announcement request goes out first, but the window does not wait
    // for it: a late answer shows once it comes, one that takes longer than
    // 10 s (late, or trickled byte by byte) is given up.
    void slowService_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("trickle");
        QTest::addColumn<bool>("shown");
        QTest::newRow("answers after 3 s") << 3000 << 0 << true;
        QTest::newRow("answers after 12 s") << 12000 << 0 << false;
        QTest::newRow("trickles for 12 s") << 0 << 12000 << false;
    }

    void slowService()
    {
        QFETCH(int, delay);
        QFETCH(int, trickle);
        QFETCH(bool, shown);
        AccountService service;
        APlayerControl::setEngineFactory(scriptedEngines());
        TestHttpAnswer answer = TestHttpAnswer::json(
            "{\"statu\":1,\"data\":[{\"title\":\"A\",\"url\":\"http://example.org/a\"}]}");
        answer.delayMs = delay;
        if (trickle > 0)
            answer.trickleEveryMs = trickle / answer.body.size();
        service.answers.insert(QStringLiteral("www/default/pc/gonggao"), answer);
        QElapsedTimer clock;
        clock.start();
        {
            MainWindow window;
            // Built before the answer comes, and before the 10 s the window
            // would give it; a bound no tighter than that leaves a busy
            // machine its slower start.
            QVERIFY2(clock.elapsed() < std::min(std::max(delay, trickle), 10000),
                qPrintable(QString::number(clock.elapsed())));
            auto *label = window.findChild<QLabel *>(QStringLiteral("announcementLabel"));
            QVERIFY(label->text().isEmpty());
            QCOMPARE(service.routes.value(0), QStringLiteral("www/default/pc/gonggao"));
            if (shown) {
                QTRY_VERIFY_WITH_TIMEOUT(!label->text().isEmpty(), 5000);
                QVERIFY(timerWithInterval(&window, 10000));
            } else {
                QTest::qWait(std::max(delay, trickle) + 1000 - int(clock.elapsed()));
                QVERIFY(label->text().isEmpty());
                QVERIFY(!timerWithInterval(&window, 10000));
            }
        }
        delete APlayerControl::instance;
    }

    // Best effort: whatever goes wrong, nothing shows and nothing is said.
    void failedNoticesShowNothing_data()
    {
        QTest::addColumn<QByteArray>("announcements");
        QTest::addColumn<QByteArray>("popup");
        QTest::addColumn<QByteArray>("picture");
        const QByteArray onePicture
            = "{\"statu\":1,\"data\":{\"enable\":\"true\",\"datas\":[{\"img\":\"PICTURE\","
              "\"url\":\"http://example.org/n1\"}]}}";
        QTest::newRow("service down") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("refused") << QByteArray("{\"statu\":0,\"msg\":\"x\"}")
                                 << QByteArray("{\"statu\":0}") << QByteArray();
        QTest::newRow("garbage") << QByteArray("<html>") << QByteArray("[1,2") << QByteArray();
        QTest::newRow("empty and disabled")
            << QByteArray("{\"statu\":1,\"data\":[]}")
            << QByteArray("{\"statu\":1,\"data\":{\"enable\":\"false\",\"datas\":[]}}")
            << QByteArray();
        QTest::newRow("enabled without pages")
            << QByteArray()
            << QByteArray("{\"statu\":1,\"data\":{\"enable\":\"true\",\"datas\":[]}}")
            << QByteArray();
        QTest::newRow("picture fails") << QByteArray() << onePicture << QByteArray();
    }

    void failedNoticesShowNothing()
    {
        QFETCH(QByteArray, announcements);
        QFETCH(QByteArray, popup);
        QFETCH(QByteArray, picture);
        AccountService service;
        APlayerControl::setEngineFactory(scriptedEngines());
        if (QByteArray(QTest::currentDataTag()) == "service down")
            AppSettings::instance()->setServiceBaseAddress(QStringLiteral("http://127.0.0.1:9"));
        if (!announcements.isEmpty())
            service.answer(QStringLiteral("www/default/pc/gonggao"), announcements);
        popup.replace("PICTURE", service.server.url("/notice/1.png").toEncoded());
        if (!popup.isEmpty())
            service.answer(QStringLiteral("www/default/pc/tanchuang"), popup);
        service.answers.insert(QStringLiteral("/notice/1.png"),
            picture.isEmpty() ? TestHttpAnswer::withStatus(404) : TestHttpAnswer::json(picture));
        MessageBoxRecorder boxes;
        {
            MainWindow window;
            QVERIFY(window.findChild<QLabel *>("announcementLabel")->text().isEmpty());
            QVERIFY(!timerWithInterval(&window, 10000));
            WhenModal<UserAccountDialog> close([](UserAccountDialog *d) { d->close(); });
            window.show();
            QVERIFY(!window.findChild<TanChuangDialog *>());
        }
        QVERIFY(boxes.boxes.isEmpty());
        delete APlayerControl::instance;
    }
};

QTEST_MAIN(TestNotices)
#include "tst_notices.moc"
