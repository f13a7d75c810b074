// The engine wrapper on a scripted engine: event dispatch, the current file,
// the text form of configuration values and the load failure.
#include "player/aplayercontrol.h"
#include "player/aplayercontroleventhandler.h"
#include "scriptedengine.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestAPlayerControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void dispatch_data();
    void dispatch();
    void currentFileSurvivesFailureAndClose();
    void closeEmitsOnClosedFirst();
    void unsafeCookieIsNotOpened();
    void wrappersSendText_data();
    void wrappersSendText();
    void readsNumbersFromText();
    void secondInitializeKeepsEngine();
    void loadFailureShowsBoxAndRaises();

private:
    std::unique_ptr<APlayerControl> m_control;
    ScriptedEngine *m_engine = nullptr;
    int m_created = 0;
    bool m_failNext = false;
};

void TestAPlayerControl::init()
{
    m_created = 0;
    APlayerControl::setEngineFactory([this] {
        auto engine = std::make_unique<ScriptedEngine>();
        engine->failInitialize = m_failNext;
        m_engine = engine.get();
        ++m_created;
        return engine;
    });
    m_control = std::make_unique<APlayerControl>();
}

void TestAPlayerControl::cleanup()
{
    m_control.reset();
    m_engine = nullptr;
    m_failNext = false;
    APlayerControl::setEngineFactory({});
}

void TestAPlayerControl::dispatch_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<QVector<int>>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::newRow("message") << 1 << QVector<int> { 0x0201, 1, 0x00200010 }
                             << "message 513 1 2097168";
    QTest::newRow("state") << 2 << QVector<int> { 0, 1 } << "state 0 1";
    QTest::newRow("opened") << 3 << QVector<int> {} << "opened";
    QTest::newRow("buffer") << 5 << QVector<int> { 37 } << "buffer 37";
    QTest::newRow("buffer done") << 5 << QVector<int> { 100 } << "buffer 100";
    QTest::newRow("number 0") << 0 << QVector<int> { 1, 2, 3 } << "";
    QTest::newRow("number 4") << 4 << QVector<int> { 1, 2, 3 } << "";
    QTest::newRow("number 6") << 6 << QVector<int> { 1 } << "";
    QTest::newRow("number -1") << -1 << QVector<int> {} << "";
    QTest::newRow("state without arguments") << 2 << QVector<int> { 3 } << "";
    QTest::newRow("message without arguments") << 1 << QVector<int> { 1, 2 } << "";
}

void TestAPlayerControl::dispatch()
{
    QFETCH(int, event);
    QFETCH(QVector<int>, arguments);
    QFETCH(QString, expected);

    QStringList seen;
    connect(m_control.get(), &APlayerControl::onMessage, this, [&](int m, int w, int l) {
        seen << QStringLiteral("message %1 %2 %3").arg(m).arg(w).arg(l);
    });
    connect(m_control.get(), &APlayerControl::onStateChanged, this,
        [&](int o, int n) { seen << QStringLiteral("state %1 %2").arg(o).arg(n); });
    connect(m_control.get(), &APlayerControl::onOpenSucceeded, this,
        [&] { seen << QStringLiteral("opened"); });
    connect(m_control.get(), &APlayerControl::onBuffer, this,
        [&](int p) { seen << QStringLiteral("buffer %1").arg(p); });
    connect(m_control.get(), &APlayerControl::onClosed, this,
        [&] { seen << QStringLiteral("closed"); });

    APlayerControlEventHandler handler;
    QCOMPARE(handler.invoke(event, arguments), 0);
    QCOMPARE(seen.join(QLatin1Char('|')), expected);
}

void TestAPlayerControl::currentFileSurvivesFailureAndClose()
{
    QVERIFY(m_control->currentFile().isNull());
    auto first = QSharedPointer<VideoFileInfo>::create();
    // Before initialize there is no engine: open fails but keeps the file.
    QVERIFY(!m_control->open(first));
    QCOMPARE(m_control->currentFile(), first);

    m_control->initialize(0);
    auto second = QSharedPointer<VideoFileInfo>::create();
    second->url = QStringLiteral("http://127.0.0.1:1/ftn_handler/x");
    second->comCookie = QStringLiteral("a=1");
    QVERIFY(m_control->open(second));
    QCOMPARE(m_control->currentFile(), second);
    QCOMPARE(m_control->state(), int(APlayerControl::Opening));
    m_engine->finishOpen();
    QVERIFY(m_control->close());
    QCOMPARE(m_control->state(), int(APlayerControl::Ready));
    QCOMPARE(m_control->currentFile(), second);
    QCOMPARE(m_engine->calls,
        QStringList({ "config 1105 a=1", "open http://127.0.0.1:1/ftn_handler/x", "close" }));
}

void TestAPlayerControl::closeEmitsOnClosedFirst()
{
    m_control->initialize(0);
    m_control->open(QSharedPointer<VideoFileInfo>::create());
    m_engine->finishOpen();
    QStringList order;
    connect(m_control.get(), &APlayerControl::onClosed, this, [&] { order << "closed"; });
    connect(m_control.get(), &APlayerControl::onStateChanged, this,
        [&](int o, int n) { order << QStringLiteral("%1>%2").arg(o).arg(n); });
    m_control->close();
    QCOMPARE(order, QStringList({ "closed", "5>6", "6>0" }));

    // Also when nothing is open.
    order.clear();
    m_control->close();
    QCOMPARE(order, QStringList({ "closed" }));
}

void TestAPlayerControl::unsafeCookieIsNotOpened()
{
    m_control->initialize(0);
    for (const QString &cookie : { QStringLiteral("a=1\r\nX-Evil: 1"), QStringLiteral("a=1\nb") }) {
        auto file = QSharedPointer<VideoFileInfo>::create();
        file->url = QStringLiteral("http://127.0.0.1:1/f");
        file->comCookie = cookie;
        QVERIFY(!m_control->open(file));
        QCOMPARE(m_control->currentFile(), file);
    }
    QVERIFY(m_engine->calls.isEmpty());
    QCOMPARE(m_control->state(), int(APlayerControl::Ready));
}

void TestAPlayerControl::wrappersSendText_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("expected");
    QTest::newRow("render mode") << 0 << "config 201 3";
    QTest::newRow("negative brightness") << 1 << "config 214 -7";
    QTest::newRow("contrast") << 2 << "config 215 0";
    QTest::newRow("saturation") << 3 << "config 216 100";
    QTest::newRow("hue") << 4 << "config 217 -100";
    QTest::newRow("enhance on") << 5 << "config 305 1";
    QTest::newRow("enhance off") << 6 << "config 305 0";
    QTest::newRow("channel") << 7 << "config 404 2";
    QTest::newRow("subtitle shown") << 8 << "config 504 1";
    QTest::newRow("subtitle hidden") << 9 << "config 504 0";
    QTest::newRow("cache on") << 10 << "config 2207 1";
    QTest::newRow("cache off") << 11 << "config 2207 0";
    QTest::newRow("aspect") << 12 << "config 204 4;3";
    QTest::newRow("delay") << 13 << "config 509 -500;1000;1000";
    QTest::newRow("cache path") << 14 << "config 2201 /tmp/c.dat";
}

void TestAPlayerControl::wrappersSendText()
{
    QFETCH(int, which);
    QFETCH(QString, expected);
    m_control->initialize(0);
    APlayerControl &c = *m_control;
    const std::function<void()> calls[] = {
        [&] { c.setRenderMode(3); },
        [&] { c.setBrightness(-7); },
        [&] { c.setContrast(0); },
        [&] { c.setSaturation(100); },
        [&] { c.setHue(-100); },
        [&] { c.setImageNormalize(true); },
        [&] { c.setImageNormalize(false); },
        [&] { c.setAudioChannel(2); },
        [&] { c.setSubtitleVisible(true); },
        [&] { c.setSubtitleVisible(false); },
        [&] { c.setCacheEnabled(true); },
        [&] { c.setCacheEnabled(false); },
        [&] { c.setAspectRatio(QStringLiteral("4;3")); },
        [&] { c.setSubtitleDelay(QStringLiteral("-500;1000;1000")); },
        [&] { c.setCacheFilePath(QStringLiteral("/tmp/c.dat")); },
    };
    calls[which]();
    QCOMPARE(m_engine->calls, QStringList({ expected }));
}

void TestAPlayerControl::readsNumbersFromText()
{
    m_control->initialize(0);
    QCOMPARE(m_control->videoWindowHandle(), WId(0));
    QVERIFY(!m_control->isImageNormalize());
    m_engine->configValues.insert(APlayerControl::VideoWindowHandleId, QStringLiteral("4194305"));
    m_engine->configValues.insert(APlayerControl::ImageNormalizeId, QStringLiteral("1"));
    QCOMPARE(m_control->videoWindowHandle(), WId(4194305));
    QVERIFY(m_control->isImageNormalize());
    for (const QString &text : { QStringLiteral("yes"), QStringLiteral("2"), QString() }) {
        m_engine->configValues.insert(APlayerControl::ImageNormalizeId, text);
        QVERIFY2(!m_control->isImageNormalize(), qPrintable(text));
    }
    m_engine->configValues.insert(APlayerControl::VideoWindowHandleId, QStringLiteral("abc"));
    QCOMPARE(m_control->videoWindowHandle(), WId(0));
}

void TestAPlayerControl::secondInitializeKeepsEngine()
{
    m_control->initialize(0);
    PlayerEngine *first = m_control->engine();
    m_control->initialize(0);
    QCOMPARE(m_control->engine(), first);
    QCOMPARE(m_created, 1);
}

void TestAPlayerControl::loadFailureShowsBoxAndRaises()
{
    m_failNext = true;
    QString shown;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box) {
            shown = box->text();
            box->accept();
        }
    });
    bool raised = false;
    try {
        m_control->initialize(0);
    } catch (const EngineLoadError &error) {
        raised = true;
        QCOMPARE(QString::fromStdString(error.what()), shown);
    }
    QVERIFY(raised);
    QVERIFY2(shown.contains(QStringLiteral("scripted")), qPrintable(shown));
    QVERIFY(!m_control->engine());
    QCOMPARE(m_control->state(), int(APlayerControl::Ready));
}

QTEST_MAIN(TestAPlayerControl)
#include "tst_aplayercontrol.moc"
