#include "app/appsettings.h"
#include "resource/videofileresolver.h"
#include "service/serverclient.h"
#include "serviceenvironment.h"

#include <QtTest>

#include <memory>

namespace {

const QString Searching = QStringLiteral("正在解析BT资源...");
const QString Hashing = QStringLiteral("正在解析视频文件hash值...");
const QString Addressing = QStringLiteral("正在解析视频文件地址...");
const QString Filtering = QStringLiteral("正在筛选视频文件地址...");
const QString DownloadFailed = QStringLiteral("筛选视频文件播放地址失败！");
const QString DownloadSettled
    = QStringLiteral("筛选视频文件播放地址成功，等待播放；如果长时间无法播放，请重试！");

// A loopback address where nothing listens: a server's port, just closed.
QString closedHost()
{
    TestHttpServer server;
    if (!server.start())
        qFatal("test server did not start");
    return QStringLiteral("127.0.0.1:%1").arg(server.port());
}

} // namespace

// Stands in for a message label: keeps every text it is given.
class MessageRecorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)

public:
    QString text() const { return texts.isEmpty() ? QString() : texts.last(); }
    void setText(const QString &text) { texts.append(text); }
    QStringList texts;
};

// A video host: serves "/ftn_handler/<code>" with a body of the given size.
class VideoHost
{
public:
    explicit VideoHost(int size = 300000)
    {
        if (!server.start())
            qFatal("video host did not start");
        setBody(size);
    }
    void setBody(int size, int delayMs = 0)
    {
        server.setHandler([size, delayMs](const TestHttpRequest &) {
            TestHttpAnswer answer;
            answer.body = QByteArray(size, 'v');
            answer.delayMs = delayMs;
            return answer;
        });
    }
    QString name() const { return QStringLiteral("127.0.0.1:%1").arg(server.port()); }

    TestHttpServer server;
};

class TestVideoFileResolver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void playRunSettlesAProbedAddress();
    void failingStep_data();
    void failingStep();
    void sizeFromFileList_data();
    void sizeFromFileList();
    void domainListRefresh_data();
    void domainListRefresh();
    void failedDomainListOnFirstRunOfTheDay();
    void domainListReadOncePerEntryPoint();
    void hostFirstListGrows();
    void probe_data();
    void probe();
    void downloadNeedsAPassingProbe();
    void emptyListAtPlayUsesHostUnprobed();
    void labelDeletedDuringAWait_data();
    void labelDeletedDuringAWait();

private:
    // The scripted web service's answers.
    QByteArray fileListReply
        = R"({"statu":1,"msg":"","datas":[{"index":0,"name":"a.mp4","file_size":300000}]})";
    QByteArray hashReply = R"({"statu":1,"msg":"","data":{"jxhash":"JX1"}})";
    QByteArray domainReply;
    int answerDelayMs = 0;
    QString code = QStringLiteral("CODE42");

    QSharedPointer<VideoFileInfo> record(quint64 size = 300000) const;
    bool run(VideoFileResolver::EntryPoint entryPoint, const QSharedPointer<VideoFileInfo> &file,
        bool reload = false);
    QByteArray addressReply(const QString &host) const;
    int callCount(const char *operation) const;
    void setDomains(const QStringList &domains);

    std::unique_ptr<ServiceEnvironment> env;
    TestHttpServer *service = nullptr;
    std::unique_ptr<VideoHost> offeredHost;
    MessageRecorder *messages = nullptr;
    QString addressHost;
};

void TestVideoFileResolver::init()
{
    env = std::make_unique<ServiceEnvironment>();
    service = &env->server;
    VideoFileResolver::clearCachedDomainLists();
    offeredHost = std::make_unique<VideoHost>();
    addressHost = offeredHost->name();
    setDomains({});
    answerDelayMs = 0;
    service->setHandler([this](const TestHttpRequest &request) {
        const QByteArray query = request.query();
        TestHttpAnswer answer;
        if (query.contains("do=getNewHashFileList"))
            answer = TestHttpAnswer::json(fileListReply);
        else if (query.contains("cs0=lixian_qq"))
            answer = TestHttpAnswer::json(hashReply);
        else if (query.contains("cs0=qqlixian_gethttp"))
            answer = TestHttpAnswer::json(addressReply(addressHost));
        else if (query.contains("do=getConfig"))
            answer = TestHttpAnswer::json(domainReply);
        else
            answer = TestHttpAnswer::withStatus(404);
        answer.delayMs = answerDelayMs;
        return answer;
    });
    messages = new MessageRecorder;
}

void TestVideoFileResolver::cleanup()
{
    delete messages;
    messages = nullptr;
    offeredHost.reset();
    env.reset();
}

QSharedPointer<VideoFileInfo> TestVideoFileResolver::record(quint64 size) const
{
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = QStringLiteral("0123456789ABCDEF0123456789abcdef01234567");
    file->index = 0;
    file->name = QStringLiteral("a.mp4");
    file->fileSize = size;
    return file;
}

bool TestVideoFileResolver::run(VideoFileResolver::EntryPoint entryPoint,
    const QSharedPointer<VideoFileInfo> &file, bool reload)
{
    return VideoFileResolver::resolve(file, messages, reload, entryPoint);
}

QByteArray TestVideoFileResolver::addressReply(const QString &host) const
{
    return QStringLiteral(
        R"({"statu":1,"msg":"","data":{"code":"%1","com_cookie":"FTN5K=abc; path=/","field":"%2"}})")
        .arg(code, host)
        .toUtf8();
}

int TestVideoFileResolver::callCount(const char *operation) const
{
    int count = 0;
    for (const TestHttpRequest &request : service->requests())
        count += request.query().contains(operation) ? 1 : 0;
    return count;
}

void TestVideoFileResolver::setDomains(const QStringList &domains)
{
    QStringList quoted;
    for (const QString &domain : domains)
        quoted << QLatin1Char('"') + domain + QLatin1Char('"');
    domainReply = QStringLiteral(R"({"statu":1,"msg":"","data":[%1]})")
                      .arg(quoted.join(QLatin1Char(',')))
                      .toUtf8();
}

void TestVideoFileResolver::playRunSettlesAProbedAddress()
{
    VideoHost slow;
    slow.setBody(300000, 900);
    VideoHost good;
    setDomains({ slow.name(), good.name() });

    const auto file = record();
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file));
    QCOMPARE(messages->texts, (QStringList { Hashing, Addressing, Filtering }));
    QCOMPARE(file->jxhash, QStringLiteral("JX1"));
    QCOMPARE(file->url, QStringLiteral("http://%1/ftn_handler/CODE42").arg(good.name()));

    // The probe carries the address cookie and nothing of the service client.
    QCOMPARE(good.server.requestCount(), 1);
    const TestHttpRequest probe = good.server.lastRequest();
    QCOMPARE(probe.path(), QByteArray("/ftn_handler/CODE42"));
    QCOMPARE(probe.header("Cookie"), QByteArray("FTN5K=abc; path=/"));
    QVERIFY(probe.header("User-Agent") != ServerClient::instance()->userAgent());
    QCOMPARE(offeredHost->server.requestCount(), 0);

    const QByteArray address = service->requests().at(1).query();
    QVERIFY(address.contains("reload=0"));
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file, true));
    QVERIFY(service->lastRequest().query().contains("reload=1"));
}

void TestVideoFileResolver::failingStep_data()
{
    QTest::addColumn<int>("failingStep");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("calls");

    const QByteArray refusal = R"({"statu":0,"msg":"资源不存在","data":[]})";
    QTest::newRow("file list refused") << 0 << refusal << QStringLiteral("资源不存在") << 1;
    QTest::newRow("file hash refused") << 1 << refusal << QStringLiteral("资源不存在") << 2;
    QTest::newRow("address refused") << 2 << refusal << QStringLiteral("资源不存在") << 3;
    QTest::newRow("address transfer fails")
        << 2 << QByteArray() << QStringLiteral("服务器请求出错") << 3;
}

void TestVideoFileResolver::failingStep()
{
    QFETCH(int, failingStep);
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QFETCH(int, calls);

    const char *operations[] = { "do=getNewHashFileList", "cs0=lixian_qq", "cs0=qqlixian_gethttp" };
    auto handler = [=](const TestHttpRequest &request) {
        if (request.query().contains(operations[failingStep]))
            return reply.isEmpty() ? TestHttpAnswer::withStatus(500) : TestHttpAnswer::json(reply);
        if (request.query().contains("lixian_qq"))
            return TestHttpAnswer::json(hashReply);
        return TestHttpAnswer::json(fileListReply);
    };
    service->setHandler(handler);

    const auto file = record(0);
    QVERIFY(!run(VideoFileResolver::PlayRecordDialogPlay, file));
    QCOMPARE(messages->texts.last(), message);
    QCOMPARE(messages->texts.size(), failingStep + 2);
    QCOMPARE(service->requestCount(), calls);
    QVERIFY(file->url.isEmpty());
}

void TestVideoFileResolver::sizeFromFileList_data()
{
    QTest::addColumn<uint>("index");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<bool>("probed");

    QTest::newRow("listed file takes the listed size") << 0u << quint64(300000) << true;
    QTest::newRow("file no longer listed keeps size 0") << 5u << quint64(0) << false;
}

void TestVideoFileResolver::sizeFromFileList()
{
    QFETCH(uint, index);
    QFETCH(quint64, size);
    QFETCH(bool, probed);

    VideoHost host;
    setDomains({ host.name() });
    const auto file = record(0);
    file->index = index;
    QVERIFY(run(VideoFileResolver::PlayRecordDialogPlay, file));
    QCOMPARE(messages->texts, (QStringList { Searching, Hashing, Addressing, Filtering }));
    QCOMPARE(file->fileSize, size);
    const QString probedAddress = QStringLiteral("http://%1/ftn_handler/CODE42").arg(host.name());
    const QString hostAddress = QStringLiteral("http://%1/ftn_handler/CODE42").arg(addressHost);
    QCOMPARE(file->url, probed ? probedAddress : hostAddress);
}

void TestVideoFileResolver::domainListRefresh_data()
{
    QTest::addColumn<int>("storedDaysAgo"); // -1: no date stored
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<bool>("asked");

    QTest::newRow("first run ever") << -1 << false << true;
    QTest::newRow("asked today, file present") << 0 << true << false;
    QTest::newRow("asked today, file gone") << 0 << false << true;
    QTest::newRow("asked yesterday") << 1 << true << true;
    QTest::newRow("no date, file present") << -1 << true << true;
}

void TestVideoFileResolver::domainListRefresh()
{
    QFETCH(int, storedDaysAgo);
    QFETCH(bool, fileExists);
    QFETCH(bool, asked);

    const QString diskHost = closedHost();
    const QString freshHost = closedHost();
    const QDate today = QDate::currentDate();
    if (storedDaysAgo >= 0)
        AppSettings::instance()->setVideoFileURLDomainListLastRequestDate(
            today.addDays(-storedDaysAgo));
    if (fileExists)
        QVERIFY(writeFileBytes(
            "VideoFileURLDomains.dat", diskHost.toUtf8() + "\n\n" + diskHost.toUtf8() + "\n"));
    setDomains({ freshHost, freshHost });

    QVERIFY(run(VideoFileResolver::ParseDialogPlay, record()));
    QCOMPARE(callCount("do=getConfig"), asked ? 1 : 0);
    QCOMPARE(AppSettings::instance()->videoFileURLDomainListLastRequestDate(), today);
    if (asked) {
        QCOMPARE(VideoFileResolver::cachedDomainList(VideoFileResolver::ParseDialogPlay),
            (QStringList { freshHost, freshHost }));
        QCOMPARE(readFileBytes("VideoFileURLDomains.dat"),
            (freshHost + "\n" + freshHost + "\n").toUtf8());
    } else {
        QCOMPARE(VideoFileResolver::cachedDomainList(VideoFileResolver::ParseDialogPlay),
            (QStringList { diskHost, "", diskHost }));
    }
}

void TestVideoFileResolver::failedDomainListOnFirstRunOfTheDay()
{
    AppSettings::instance()->setVideoFileURLDomainListLastRequestDate(
        QDate::currentDate().addDays(-3));
    const QString keptHost = closedHost();
    QVERIFY(writeFileBytes("VideoFileURLDomains.dat", keptHost.toUtf8() + "\n"));
    domainReply = R"({"statu":0,"msg":"维护中"})";

    const auto file = record();
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file));
    QCOMPARE(messages->texts.last(), Filtering);
    QVERIFY(VideoFileResolver::cachedDomainList(VideoFileResolver::ParseDialogPlay).isEmpty());
    QCOMPARE(readFileBytes("VideoFileURLDomains.dat"), keptHost.toUtf8() + "\n");
    QCOMPARE(
        AppSettings::instance()->videoFileURLDomainListLastRequestDate(), QDate::currentDate());
    QCOMPARE(file->url, QStringLiteral("http://%1/ftn_handler/CODE42").arg(addressHost));

    // Later the same day the disk copy serves; without it the service is asked.
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file));
    QCOMPARE(callCount("do=getConfig"), 1);
    QCOMPARE(VideoFileResolver::cachedDomainList(VideoFileResolver::ParseDialogPlay),
        QStringList { keptHost });
    QVERIFY(QFile::remove("VideoFileURLDomains.dat"));
    QVERIFY(run(VideoFileResolver::PlayRecordDialogPlay, file));
    QCOMPARE(callCount("do=getConfig"), 2);
}

void TestVideoFileResolver::domainListReadOncePerEntryPoint()
{
    VideoHost host;
    setDomains({ host.name() });
    const auto file = record();
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file));
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file, true));
    QCOMPARE(callCount("do=getConfig"), 1);

    // Another entry point the same day reads the file the first one wrote.
    const QString other = closedHost();
    QVERIFY(writeFileBytes(
        "VideoFileURLDomains.dat", host.name().toUtf8() + "\n" + other.toUtf8() + "\n"));
    QVERIFY(run(VideoFileResolver::FavouritesDialogPlay, file));
    QCOMPARE(callCount("do=getConfig"), 1);
    QCOMPARE(VideoFileResolver::cachedDomainList(VideoFileResolver::FavouritesDialogPlay),
        (QStringList { addressHost, host.name(), other }));
}

void TestVideoFileResolver::hostFirstListGrows()
{
    VideoHost listed;
    setDomains({ listed.name() });
    QStringList hosts;
    for (int run = 0; run < 3; ++run) {
        addressHost = closedHost();
        hosts.prepend(addressHost);
        const auto file = record();
        QVERIFY(this->run(VideoFileResolver::ParseDialogDownload, file));
        QCOMPARE(messages->texts.last(), DownloadSettled);
        QCOMPARE(file->url, QStringLiteral("http://%1/ftn_handler/CODE42").arg(listed.name()));
    }
    QCOMPARE(VideoFileResolver::cachedDomainList(VideoFileResolver::ParseDialogDownload),
        hosts + QStringList { listed.name() });
    QCOMPARE(listed.server.requestCount(), 3);
}

void TestVideoFileResolver::probe_data()
{
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("closeAfter");
    QTest::addColumn<int>("stallAfter");
    QTest::addColumn<quint64>("expectedSize");
    QTest::addColumn<bool>("passes");

    QTest::newRow("large, right length") << 300000 << 0 << -1 << -1 << quint64(300000) << true;
    QTest::newRow("one byte over the threshold")
        << 102401 << 0 << -1 << -1 << quint64(102401) << true;
    QTest::newRow("exactly the threshold") << 102400 << 0 << -1 << -1 << quint64(102400) << false;
    QTest::newRow("small file") << 5000 << 0 << -1 << -1 << quint64(5000) << false;
    QTest::newRow("other length") << 300000 << 0 << -1 << -1 << quint64(299999) << false;
    QTest::newRow("slower than 500 ms") << 300000 << 900 << -1 << -1 << quint64(300000) << false;
    QTest::newRow("connection drops early")
        << 300000 << 0 << 50000 << -1 << quint64(300000) << false;
    // Progress reports are sparse: bytes past the threshold count even when
    // nothing more follows them.
    QTest::newRow("past the threshold, then silent")
        << 300000 << 0 << -1 << 200000 << quint64(300000) << true;
}

void TestVideoFileResolver::probe()
{
    QFETCH(int, bodySize);
    QFETCH(int, delayMs);
    QFETCH(int, closeAfter);
    QFETCH(int, stallAfter);
    QFETCH(quint64, expectedSize);
    QFETCH(bool, passes);

    VideoHost host;
    host.server.setHandler([=](const TestHttpRequest &) {
        TestHttpAnswer answer;
        answer.body = QByteArray(bodySize, 'v');
        answer.delayMs = delayMs;
        answer.closeAfterBodyBytes = closeAfter;
        answer.stallAfterBodyBytes = stallAfter;
        return answer;
    });
    const QString url = QStringLiteral("http://%1/ftn_handler/x").arg(host.name());
    QCOMPARE(VideoFileResolver::probe(url, QStringLiteral("c=1"), expectedSize), passes);

    // Nothing listening fails as well.
    QVERIFY(!VideoFileResolver::probe(
        QStringLiteral("http://%1/ftn_handler/x").arg(closedHost()), QString(), expectedSize));
}

void TestVideoFileResolver::downloadNeedsAPassingProbe()
{
    offeredHost->setBody(5000);
    const auto file = record();
    QVERIFY(!run(VideoFileResolver::ParseDialogDownload, file));
    QCOMPARE(messages->texts.last(), DownloadFailed);
    // With an empty list only the offered host was probed, and its address stays.
    QCOMPARE(offeredHost->server.requestCount(), 1);
    QCOMPARE(file->url, QStringLiteral("http://%1/ftn_handler/CODE42").arg(addressHost));
}

void TestVideoFileResolver::emptyListAtPlayUsesHostUnprobed()
{
    const auto file = record();
    QVERIFY(run(VideoFileResolver::ParseDialogPlay, file));
    QCOMPARE(file->url, QStringLiteral("http://%1/ftn_handler/CODE42").arg(addressHost));
    QCOMPARE(offeredHost->server.requestCount(), 0);
}

void TestVideoFileResolver::labelDeletedDuringAWait_data()
{
    QTest::addColumn<bool>("duringProbe");
    QTest::addColumn<int>("expectedRequests");

    QTest::newRow("during the file hash call") << false << 1;
    QTest::newRow("during a probe") << true << 3;
}

void TestVideoFileResolver::labelDeletedDuringAWait()
{
    QFETCH(bool, duringProbe);
    QFETCH(int, expectedRequests);

    VideoHost first;
    first.setBody(300000, 400);
    VideoHost second;
    setDomains({ first.name(), second.name() });
    answerDelayMs = duringProbe ? 0 : 400;

    // Gone while the request that arrived waits for its answer.
    TestHttpServer *waitedOn = duringProbe ? &first.server : service;
    connect(waitedOn, &TestHttpServer::requestReceived, messages, [this] {
        delete messages;
        messages = nullptr;
    });
    const auto file = record();
    QVERIFY(!VideoFileResolver::resolve(file, messages, false, VideoFileResolver::ParseDialogPlay));
    QVERIFY(!messages);
    // Nothing after the interrupted wait: no further call, no further probe.
    QTest::qWait(200);
    QCOMPARE(service->requestCount(), expectedRequests);
    QCOMPARE(second.server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TestVideoFileResolver)
#include "tst_videofileresolver.moc"
