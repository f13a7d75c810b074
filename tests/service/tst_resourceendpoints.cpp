#include "service/resourceendpoints.h"
#include "serviceenvironment.h"

static const QString hashLower = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

static QByteArray macParameter()
{
    return "_mac=" + macAddressText().toUtf8().toPercentEncoding();
}

class TestResourceEndpoints : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_env.reset(new ServiceEnvironment); }
    void cleanupTestCase() { m_env.reset(); }
    void init() { server().clearRequests(); }

    void fileListRequestAndOrder()
    {
        server().enqueueJson("{\"statu\":1,\"datas\":["
                             "{\"index\":3,\"name\":\"c.mkv\",\"file_size\":30},"
                             "{\"index\":\"1\",\"name\":\"a.mp4\",\"file_size\":\"5000000000\"},"
                             "{\"index\":2,\"name\":\"b.avi\",\"file_size\":5000000000}]}");
        const QString hash = QStringLiteral("0123456789ABCDEF0123456789abcdef01234567");
        const FileListResult result = getResourceFileList(hash);

        // Signature computed outside the program.
        QCOMPARE(server().lastRequest().requestLine,
            QByteArray("GET /server/?r=www%2Fdefault%2Fpc&do=getNewHashFileList&hash="
                + hash.toLatin1() + "&_s=pc&sign=4009650cbfcf5770cbec6bcc38c4914b HTTP/1.1"));
        QCOMPARE(result.status, 1);
        QVERIFY(result.message.isEmpty());
        QCOMPARE(result.files.size(), 3);
        const QStringList names = { "a.mp4", "b.avi", "c.mkv" };
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(result.files.at(i)->index, uint(i + 1));
            QCOMPARE(result.files.at(i)->name, names.at(i));
            QCOMPARE(result.files.at(i)->hash, hash);
        }
        QCOMPARE(result.files.at(0)->fileSize, quint64(5000000000));
        QCOMPARE(result.files.at(1)->fileSize, quint64(5000000000));
        QCOMPARE(result.files.at(2)->fileSize, quint64(30));
    }

    // Indexes compare as unsigned numbers, not as text and not as signed.
    void fileListSortsUnsigned()
    {
        server().enqueueJson("{\"statu\":1,\"datas\":[{\"index\":4294967295},{\"index\":10},"
                             "{\"index\":-1},{\"index\":9}]}");
        const FileListResult result = getResourceFileList(hashLower);
        QList<uint> indexes;
        for (const auto &file : result.files)
            indexes << file->index;
        QCOMPARE(indexes, (QList<uint> { 0, 9, 10, 4294967295u }));
    }

    void fileListPayloadShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("files");
        QTest::newRow("no datas") << QByteArray("{\"statu\":1}") << 1 << QString() << 0;
        QTest::newRow("datas not a list")
            << QByteArray("{\"statu\":1,\"datas\":\"x\"}") << 1 << QString() << 0;
        QTest::newRow("refused, datas ignored")
            << QByteArray("{\"statu\":0,\"msg\":\"资源不存在\",\"datas\":[{\"index\":1}]}") << 0
            << QStringLiteral("资源不存在") << 0;
    }

    void fileListPayloadShapes()
    {
        QFETCH(QByteArray, body);
        server().enqueueJson(body);
        const FileListResult result = getResourceFileList(hashLower);
        QTEST(result.status, "status");
        QTEST(result.message, "message");
        QTEST(int(result.files.size()), "files");
    }

    void fileHashRequest()
    {
        auto info = QSharedPointer<VideoFileInfo>::create();
        info->hash = hashLower;
        info->index = 4294967295u;
        info->name = QStringLiteral("第 1 集&=.mkv");
        server().enqueueJson("{\"statu\":1,\"data\":{}}");
        QCOMPARE(getVideoFileHash(info).status, 1);

        const QList<QByteArray> elements = wireElements(server().lastRequest().query());
        QCOMPARE(elements.mid(0, 7),
            (QList<QByteArray> { "r=www%2Fdefault%2Fpc", "cs0=lixian_qq",
                "hash=" + hashLower.toLatin1(), "index=4294967295",
                "name=%E7%AC%AC%201%20%E9%9B%86%26%3D.mkv", macParameter(), "_s=pc" }));
        QCOMPARE(elements.size(), 8);
        QVERIFY(elements.at(7).startsWith("sign="));
    }

    // The remapped values are set only when all three keys are present; jxhash
    // is always overwritten; remapped is never set back to false.
    void fileHashRemapRule_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("remapped");
        QTest::addColumn<QString>("remappedHash");
        QTest::addColumn<uint>("remappedIndex");
        QTest::addColumn<quint64>("remappedSize");
        QTest::addColumn<QString>("jxhash");
        QTest::newRow("all three") << QByteArray(
            "{\"hash\":\"ffff\",\"index\":\"2\",\"size\":5000000000,\"jxhash\":\"J\"}")
                                   << true << "ffff" << 2u << quint64(5000000000) << "J";
        QTest::newRow("no size") << QByteArray("{\"hash\":\"ffff\",\"index\":2,\"jxhash\":\"J2\"}")
                                 << false << "old" << 8u << quint64(80) << "J2";
        QTest::newRow("nothing") << QByteArray("{}") << false << "old" << 8u << quint64(80) << "";
        QTest::newRow("data not an object")
            << QByteArray("[1,2]") << false << "old" << 8u << quint64(80) << "";
    }

    void fileHashRemapRule()
    {
        QFETCH(QByteArray, data);
        auto info = QSharedPointer<VideoFileInfo>::create();
        info->hash = hashLower;
        info->remappedHash = QStringLiteral("old");
        info->remappedIndex = 8;
        info->remappedSize = 80;
        info->jxhash = QStringLiteral("previous");
        server().enqueueJson("{\"statu\":1,\"data\":" + data + "}");
        QCOMPARE(getVideoFileHash(info).status, 1);
        QTEST(info->remapped, "remapped");
        QTEST(info->remappedHash, "remappedHash");
        QTEST(info->remappedIndex, "remappedIndex");
        QTEST(info->remappedSize, "remappedSize");
        QTEST(info->jxhash, "jxhash");

        // A later reply without the keys keeps the remapping.
        if (info->remapped) {
            server().enqueueJson("{\"statu\":1,\"data\":{}}");
            getVideoFileHash(info);
            QVERIFY(info->remapped);
            QCOMPARE(info->remappedHash, QStringLiteral("ffff"));
        }
    }

    void failuresKeepTheRecord()
    {
        auto info = QSharedPointer<VideoFileInfo>::create();
        info->jxhash = QStringLiteral("J");
        info->code = QStringLiteral("C");
        server().enqueue(TestHttpAnswer::json("{\"statu\":1,\"data\":{\"jxhash\":\"X\"}}", 500));
        server().enqueue(TestHttpAnswer::json("{\"statu\":1,\"data\":{\"code\":\"X\"}}", 502));
        server().enqueueJson("{\"statu\":3,\"msg\":\"忙\",\"data\":{\"jxhash\":\"X\"}}");
        QCOMPARE(getVideoFileHash(info).status, -1);
        QCOMPARE(getVideoFileAddress(info, 0).status, -1);
        const ServerResult refused = getVideoFileHash(info);
        QCOMPARE(refused.status, 3);
        QCOMPARE(refused.message, QStringLiteral("忙"));
        QCOMPARE(info->jxhash, QStringLiteral("J"));
        QCOMPARE(info->code, QStringLiteral("C"));
    }

    void addressRequestUsesEffectiveValues_data()
    {
        QTest::addColumn<bool>("remapped");
        QTest::addColumn<int>("reload");
        QTest::addColumn<QByteArray>("hash");
        QTest::addColumn<QByteArray>("index");
        QTest::addColumn<QByteArray>("size");
        QTest::newRow("as given") << false << 0 << hashLower.toLatin1() << QByteArray("index=7")
                                  << QByteArray("size=5000000000");
        QTest::newRow("remapped, reload")
            << true << 1 << QByteArray("appdata_0123456789abcdef0123456789abcdef")
            << QByteArray("index=0") << QByteArray("size=18446744073709551615");
    }

    void addressRequestUsesEffectiveValues()
    {
        QFETCH(bool, remapped);
        QFETCH(int, reload);
        auto info = QSharedPointer<VideoFileInfo>::create();
        info->hash = hashLower;
        info->index = 7;
        info->fileSize = 5000000000;
        info->jxhash = QStringLiteral("J/1");
        info->remapped = remapped;
        info->remappedHash = QStringLiteral("appdata_0123456789abcdef0123456789abcdef");
        info->remappedIndex = 0;
        info->remappedSize = 18446744073709551615u;
        server().enqueueJson("{\"statu\":1,\"data\":{\"code\":\"ab/cd\",\"com_cookie\":"
                             "\"FTN5K=1\",\"field\":\"xt.example\"}}");
        QCOMPARE(getVideoFileAddress(info, reload).status, 1);

        QFETCH(QByteArray, hash);
        QFETCH(QByteArray, index);
        QFETCH(QByteArray, size);
        const QList<QByteArray> elements = wireElements(server().lastRequest().query());
        QCOMPARE(elements.mid(0, 10),
            (QList<QByteArray> { "r=www%2Fdefault%2Fpc", "cs0=qqlixian_gethttp", "hash=" + hash,
                index, "jxhash=J%2F1", size, "netType=dianxin",
                "reload=" + QByteArray::number(reload), macParameter(), "_s=pc" }));
        QCOMPARE(info->code, QStringLiteral("ab/cd"));
        QCOMPARE(info->comCookie, QStringLiteral("FTN5K=1"));
        QCOMPARE(info->host, QStringLiteral("xt.example"));
    }

    void domainList()
    {
        server().enqueueJson("{\"statu\":1,\"data\":[\"b.example\",\"a.example\",7]}");
        const DomainListResult result = getVideoDomainList();
        QVERIFY(server().lastRequest().query().startsWith(
            "r=www%2Fdefault%2Fpc&do=getConfig&cfg=video_domain&_s=pc&sign="));
        QCOMPARE(result.status, 1);
        QCOMPARE(result.domains, (QStringList { "b.example", "a.example", "7" }));

        // A refusal leaves the message empty for this call.
        server().enqueueJson("{\"statu\":0,\"msg\":\"no\",\"data\":[\"x\"]}");
        const DomainListResult refused = getVideoDomainList();
        QCOMPARE(refused.status, 0);
        QVERIFY(refused.message.isEmpty());
        QVERIFY(refused.domains.isEmpty());
    }

    void collectListKeepsReplyOrder()
    {
        server().enqueueJson(
            "{\"statu\":1,\"datas\":[{\"id\":\"12\",\"hash\":\"h2\",\"index\":5,\"name\":\"第二\"},"
            "{\"id\":3,\"hash\":\"h1\",\"index\":\"1\",\"name\":\"first\"}]}");
        const FileListResult result = getCollectList();
        QVERIFY(server().lastRequest().query().startsWith(
            "r=www%2Fdefault%2Fpc&do=fav&method=get&persize=100&page=1&_s=pc&sign="));
        QCOMPARE(result.status, 1);
        QCOMPARE(result.files.size(), 2);
        QCOMPARE(result.files.at(0)->favouriteId, 12u);
        QCOMPARE(result.files.at(0)->hash, QStringLiteral("h2"));
        QCOMPARE(result.files.at(0)->index, 5u);
        QCOMPARE(result.files.at(0)->name, QStringLiteral("第二"));
        QCOMPARE(result.files.at(1)->favouriteId, 3u);
        QCOMPARE(result.files.at(1)->index, 1u);
    }

    void addCollectBody()
    {
        server().enqueueJson("{\"statu\":1}");
        QCOMPARE(addCollect(hashLower, 4, QStringLiteral("电影 A=B&C")).status, 1);
        const TestHttpRequest request = server().lastRequest();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.body,
            QByteArray("r=www%2Fdefault%2Fpc&do=fav&method=add&hash=" + hashLower.toLatin1()
                + "&index=4&name=%E7%94%B5%E5%BD%B1%20A%3DB%26C&_s=pc"
                  "&sign=84de0911b07a528ed54f82d599606545"));
    }

    void deleteAndReport()
    {
        server().enqueueJson("{\"statu\":0,\"msg\":\"收藏不存在 <b>&</b>\"}");
        const ServerResult deleted = deleteCollect(4294967295u);
        QCOMPARE(deleted.status, 0);
        QCOMPARE(deleted.message, QStringLiteral("收藏不存在 <b>&</b>"));
        QVERIFY(server().lastRequest().query().startsWith(
            "r=www%2Fdefault%2Fpc&do=fav&method=del&id=4294967295&_s=pc&sign="));

        server().enqueueJson("{\"statu\":1,\"msg\":\"ignored\"}");
        const ServerResult reported
            = reportResource(QStringLiteral("名 字"), QStringLiteral("a&b"));
        QCOMPARE(reported.status, 1);
        QVERIFY(reported.message.isEmpty());
        const TestHttpRequest request = server().lastRequest();
        QCOMPARE(request.method, QByteArray("POST"));
        QVERIFY2(request.body.startsWith("r=www%2Fdefault%2Fpc&do=report&method=add"
                                         "&name=%E5%90%8D%20%E5%AD%97&desc=a%26b&_s=pc&sign="),
            request.body);
    }

private:
    TestHttpServer &server() { return m_env->server; }
    std::unique_ptr<ServiceEnvironment> m_env;
};

QTEST_GUILESS_MAIN(TestResourceEndpoints)
#include "tst_resourceendpoints.moc"
