// The deployment recipe in deploy/, run as written: nginx with the recipe's
// configuration in front of two API processes and three video-host nodes,
// each started with the command line its systemd unit and environment file
// give. The only changes are free ports for the recipe's fixed ones,
// temporary folders for /var/lib/tavrion-server, the test's database for the
// recipe's, a certificate from an authority made for the run for the
// service's, and for the swarm node a seeder on loopback in place of the open
// peer port and the DHT.
#include "formparams.h"
#include "postgresfixture.h"
#include "recipenginx.h"
#include "serverprocess.h"
#include "testdir.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <httplib.h>

#include <memory>

namespace {

const QByteArray SigningKey = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// KEY=VALUE lines of an environment file, as systemd reads the simple ones.
QHash<QString, QString> readEnvironment(const QString &path)
{
    QHash<QString, QString> values;
    for (const QString &line : readText(path).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        values.insert(
            trimmed.section(QLatin1Char('='), 0, 0), trimmed.section(QLatin1Char('='), 1));
    }
    return values;
}

// The arguments of a unit's ExecStart with the environment put in as systemd
// does: "${NAME}" is one argument, "$NAME" splits at blanks.
QStringList execArguments(const QString &unit, const QHash<QString, QString> &environment)
{
    static const QRegularExpression execLine(
        QStringLiteral("^ExecStart=(.*)$"), QRegularExpression::MultilineOption);
    QStringList arguments;
    const QStringList words
        = execLine.match(unit).captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        if (word.startsWith(QLatin1String("${")) && word.endsWith(QLatin1Char('}')))
            arguments.append(environment.value(word.mid(2, word.size() - 3)));
        else if (word.startsWith(QLatin1Char('$')))
            arguments += environment.value(word.mid(1)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        else
            arguments.append(word);
    }
    return arguments.mid(1); // the program is the one built
}

QByteArray signedQuery(const QStringList &parameters)
{
    QByteArray query;
    for (const QString &element : parameters)
        query += element.section('=', 0, 0).toUtf8() + '='
            + element.section('=', 1).toUtf8().toPercentEncoding() + '&';
    return query + "sign=" + FormParams::signature(parameters, SigningKey);
}

} // namespace

class DeployRecipeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void clientRoadThroughNginx();
    void tlsFront();
    void apiProcessDownIsCoveredByTheOther();
    void swarmNodeStreamsWhatTheLibraryLacks();
    void unitsVerify();

private:
    // An API call through nginx's service address with the session cookie.
    QJsonObject call(const QStringList &parameters, bool post = false);
    bool startProcess(
        const QString &unitName, int instance, QProcess *process, const QStringList &peers = {});
    // A client of nginx's service address that trusts the run's authority.
    std::unique_ptr<httplib::SSLClient> serviceClient() const;
    // The client's file-hash and address calls for a resource's first file:
    // the address reply's data, and the file's jxhash.
    QJsonObject playAddress(const QString &hash, const QString &name, qint64 size, QString *jxhash);

    QTemporaryDir m_dir;
    PostgresCluster m_postgres;
    QString m_database; // empty: the data folder's SQLite file
    QString m_data;
    QStringList m_storage; // the admin commands' --data and --database
    QByteArray m_clip;
    QString m_clipHash;
    std::vector<std::unique_ptr<QProcess>> m_api;
    std::vector<std::unique_ptr<QProcess>> m_hosts;
    TestAuthority m_authority;
    RecipeNginx m_nginx;
    QString m_service; // nginx's service address, over TLS
    QStringList m_publicHosts; // the host nodes' names, as nginx serves them
    std::string m_cookie;
};

std::unique_ptr<httplib::SSLClient> DeployRecipeTest::serviceClient() const
{
    auto client = std::make_unique<httplib::SSLClient>(
        "127.0.0.1", m_service.section(QLatin1Char(':'), 1).toInt());
    client->set_ca_cert_path(m_authority.certificateFile().toStdString());
    client->enable_server_certificate_verification(true);
    return client;
}

bool DeployRecipeTest::startProcess(
    const QString &unitName, int instance, QProcess *process, const QStringList &peers)
{
    const QString kind = unitName.section(QLatin1Char('-'), 1).section(QLatin1Char('@'), 0, 0);
    QHash<QString, QString> environment = readEnvironment(
        RecipeNginx::recipeFile(QStringLiteral("env/%1-%2.env").arg(kind).arg(instance)));
    for (QString &value : environment)
        value = m_nginx.mapped(value);
    environment[QStringLiteral("TAVRION_DATA")] = m_data;
    QStringList arguments = execArguments(
        readText(RecipeNginx::recipeFile(QStringLiteral("systemd/") + unitName)), environment);
    const int database = arguments.indexOf(QStringLiteral("--database"));
    if (database < 0 || database + 1 >= arguments.size())
        return false;
    if (m_database.isEmpty())
        arguments.erase(arguments.begin() + database, arguments.begin() + database + 2);
    else
        arguments[database + 1] = m_database;
    const int peerPort = arguments.indexOf(QStringLiteral("--bt-listen"));
    if (peerPort >= 0 && peerPort + 1 < arguments.size()) {
        arguments[peerPort + 1] = QStringLiteral("127.0.0.1:0");
        arguments << QStringLiteral("--bt-dht") << QStringLiteral("off");
        for (const QString &peer : peers)
            arguments << QStringLiteral("--bt-peer") << peer;
    }
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(ServerProcess::program(), arguments);
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && process->waitForReadyRead(int(deadline.remainingTime()))) {
        while (process->canReadLine()) {
            if (process->readLine().trimmed() == "ready")
                return true;
        }
    }
    qWarning("%s did not start: %s", qPrintable(unitName), qPrintable(arguments.join(' ')));
    return false;
}

void DeployRecipeTest::initTestCase()
{
    QVERIFY2(!ServerProcess::program().isEmpty(), "tavrion-server is not built");
    // nginx's workers run as nobody when the test runs as root.
    QFile::setPermissions(
        m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeGroup | QFile::ExeOther);
    if (RecipeNginx::program().isEmpty())
        QSKIP("nginx is not installed (scripts/install-deps installs nginx-light)");
    // The recipe's database is PostgreSQL; the processes share the data
    // folder's SQLite file where PostgreSQL cannot start, or when asked to.
    const bool sqlite = qEnvironmentVariable("TAVRION_TEST_DATABASE") == QLatin1String("sqlite");
    if (!sqlite && m_postgres.start()) {
        m_database = m_postgres.createDatabase();
        QVERIFY2(!m_database.isEmpty(), qPrintable(m_postgres.reason()));
    } else {
        qInfo("on the data folder's SQLite file: %s",
            qPrintable(sqlite
                    ? QStringLiteral("TAVRION_TEST_DATABASE=sqlite")
                    : QStringLiteral("PostgreSQL cannot start here: ") + m_postgres.reason()));
    }

    // The library: one clip, and an account.
    m_data = m_dir.filePath(QStringLiteral("state"));
    m_clip.resize(700 * 1024 + 13);
    QRandomGenerator random(20);
    for (char &byte : m_clip)
        byte = char(random.bounded(256));
    QVERIFY(writeFileBytes(m_dir.filePath(QStringLiteral("media/clip.mp4")), m_clip));
    m_storage = QStringList { QStringLiteral("--data"), m_data };
    if (!m_database.isEmpty())
        m_storage << QStringLiteral("--database") << m_database;
    const QStringList &storage = m_storage;
    const QString torrent = m_dir.filePath(QStringLiteral("clip.torrent"));
    ServerProcess::admin({ QStringLiteral("make-torrent"), torrent,
        m_dir.filePath(QStringLiteral("media/clip.mp4")) });
    m_clipHash = ServerProcess::admin(QStringList { QStringLiteral("add-resource") } + storage
        << torrent << m_dir.filePath(QStringLiteral("media")))
                     .trimmed();
    QCOMPARE(m_clipHash.size(), 40);
    ServerProcess::admin(QStringList { QStringLiteral("add-user") } + storage
        << QStringLiteral("viewer@example.com") << QStringLiteral("viewer-pass"));

    // Every fixed address of the recipe gets a free port on the same address.
    QString everything = readText(RecipeNginx::recipeFile(QStringLiteral("nginx/tavrion.conf")));
    for (const char *name : { "api-1", "api-2", "host-1", "host-2", "host-3" })
        everything += readText(RecipeNginx::recipeFile(QStringLiteral("env/%1.env").arg(name)));
    m_nginx.mapAddresses(everything);
    for (const char *fixed : { "127.0.0.1:17443", "127.0.0.1:17080", "127.0.1.1:17080",
             "127.0.1.2:17080", "127.0.0.1:18081", "127.0.0.1:18082", "127.0.0.1:18083",
             "127.0.2.1:18080", "127.0.2.2:18080", "127.0.2.3:18080" })
        QVERIFY2(!m_nginx.address(QLatin1String(fixed)).endsWith(QLatin1String(":0")), fixed);
    m_service = m_nginx.address(QStringLiteral("127.0.0.1:17443"));
    m_publicHosts = QStringList { m_nginx.address(QStringLiteral("127.0.0.1:18081")),
        m_nginx.address(QStringLiteral("127.0.0.1:18082")) };

    for (int instance = 1; instance <= 2; ++instance) {
        m_api.push_back(std::make_unique<QProcess>());
        QVERIFY(startProcess(QStringLiteral("tavrion-api@.service"), instance, m_api.back().get()));
        m_hosts.push_back(std::make_unique<QProcess>());
        QVERIFY(
            startProcess(QStringLiteral("tavrion-host@.service"), instance, m_hosts.back().get()));
    }

    QVERIFY2(m_authority.create(m_dir.filePath(QStringLiteral("tls"))),
        qPrintable(m_authority.reason()));
    QVERIFY2(m_nginx.start(m_dir.filePath(QStringLiteral("nginx")), m_authority),
        qPrintable(m_nginx.reason()));
    QTRY_VERIFY_WITH_TIMEOUT(serviceClient()->Get("/?r=www/default/page&p=jiaocheng"), 10000);
}

void DeployRecipeTest::cleanupTestCase()
{
    for (auto *group : { &m_api, &m_hosts }) {
        for (auto &process : *group) {
            process->terminate();
            process->waitForFinished(10000);
        }
    }
}

QJsonObject DeployRecipeTest::call(const QStringList &parameters, bool post)
{
    const std::unique_ptr<httplib::SSLClient> client = serviceClient();
    httplib::Headers headers;
    if (!m_cookie.empty())
        headers.emplace("Cookie", m_cookie);
    const std::string query = signedQuery(parameters).toStdString();
    const httplib::Result reply = post
        ? client->Post("/server/", headers, query, "application/x-www-form-urlencoded")
        : client->Get("/server/?" + query, headers);
    if (!reply || reply->status != 200)
        return {};
    if (m_cookie.empty() && reply->has_header("Set-Cookie"))
        m_cookie = reply->get_header_value("Set-Cookie");
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object();
}

QJsonObject DeployRecipeTest::playAddress(
    const QString &hash, const QString &name, qint64 size, QString *jxhash)
{
    *jxhash = call({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + hash, "index=0", "name=" + name,
                       "_mac=", "_s=pc" })
                  .value("data")
                  .toObject()
                  .value("jxhash")
                  .toString();
    return call({ "r=www/default/pc", "cs0=qqlixian_gethttp", "hash=" + hash, "index=0",
                    "jxhash=" + *jxhash, "size=" + QString::number(size), "netType=dianxin",
                    "reload=0", "_mac=", "_s=pc" })
        .value("data")
        .toObject();
}

// The calls the client makes to log in and play the clip, then the player's
// ranged reads from the host named in the address reply, all through nginx.
void DeployRecipeTest::clientRoadThroughNginx()
{
    QCOMPARE(call({ "r=www/user/login", "do=login", "f[username]=viewer@example.com",
                      "f[password]=viewer-pass", "_s=pc" },
                 true)
                 .value("statu")
                 .toInt(),
        1);
    QCOMPARE(call({ "r=www/default/pc", "do=fav", "method=add", "hash=" + m_clipHash, "index=0",
                      "name=clip.mp4", "_s=pc" },
                 true)
                 .value("statu")
                 .toInt(),
        1);
    const QJsonArray files
        = call({ "r=www/default/pc", "do=getNewHashFileList", "hash=" + m_clipHash, "_s=pc" })
              .value("datas")
              .toArray();
    QCOMPARE(files.size(), 1);
    QCOMPARE(qint64(files.first().toObject().value("file_size").toDouble()), qint64(m_clip.size()));
    QString jxhash;
    const QJsonObject address = playAddress(m_clipHash, "clip.mp4", m_clip.size(), &jxhash);
    QCOMPARE(jxhash.toLatin1(), QCryptographicHash::hash(m_clip, QCryptographicHash::Sha1).toHex());
    const QString host = address.value("field").toString();
    QVERIFY2(m_publicHosts.contains(host), qPrintable(host));
    QJsonArray domains = call({ "r=www/default/pc", "do=getConfig", "cfg=video_domain", "_s=pc" })
                             .value("data")
                             .toArray();
    QStringList named;
    for (const QJsonValue &domain : domains)
        named.append(domain.toString());
    for (const QString &publicHost : m_publicHosts)
        QVERIFY2(named.contains(publicHost), qPrintable(named.join(' ')));

    const std::string path = "/ftn_handler/" + address.value("code").toString().toStdString();
    const std::string cookie = address.value("com_cookie").toString().toStdString();
    struct Case
    {
        const char *range;
        qint64 first, last;
    };
    const qint64 size = m_clip.size();
    const Case cases[] = { { "bytes=0-", 0, size - 1 }, { "bytes=1000-70999", 1000, 70999 },
        { "bytes=-4096", size - 4096, size - 1 }, { "bytes=123457-", 123457, size - 1 } };
    // The named host, then the other one, which holds the file too.
    QStringList order { host };
    for (const QString &other : m_publicHosts) {
        if (other != host)
            order.append(other);
    }
    for (const QString &publicHost : order) {
        httplib::Client node("127.0.0.1", publicHost.section(QLatin1Char(':'), 1).toInt());
        for (const Case &test : cases) {
            const auto reply = node.Get(path, { { "Cookie", cookie }, { "Range", test.range } });
            QVERIFY2(reply, test.range);
            QCOMPARE(reply->status, 206);
            QCOMPARE(reply->get_header_value("Content-Range"),
                QStringLiteral("bytes %1-%2/%3")
                    .arg(test.first)
                    .arg(test.last)
                    .arg(size)
                    .toStdString());
            QVERIFY2(QByteArray::fromStdString(reply->body)
                    == m_clip.mid(test.first, test.last - test.first + 1),
                qPrintable(publicHost + QLatin1Char(' ') + QLatin1String(test.range)));
        }
    }
    httplib::Client player("127.0.0.1", host.section(QLatin1Char(':'), 1).toInt());
    const auto whole = player.Get(path, { { "Cookie", cookie } });
    QVERIFY(whole);
    QCOMPARE(whole->status, 200);
    QVERIFY(QByteArray::fromStdString(whole->body) == m_clip);
    const auto refused = player.Get(path, { { "Range", "bytes=0-99" } });
    QVERIFY(refused);
    QCOMPARE(refused->status, 403);
}

// The service answers over TLS only to a client that trusts the run's
// authority; its plain address sends browsers on to https, and the notice
// pictures it names load over TLS.
void DeployRecipeTest::tlsFront()
{
    const int servicePort = m_service.section(QLatin1Char(':'), 1).toInt();
    const char page[] = "/?r=www/default/page&p=jiaocheng";
    httplib::SSLClient stranger("127.0.0.1", servicePort);
    stranger.enable_server_certificate_verification(true);
    const httplib::Result refused = stranger.Get(page);
    QVERIFY(!refused);
    QCOMPARE(refused.error(), httplib::Error::SSLServerVerification);

    httplib::Client clear("127.0.0.1",
        m_nginx.address(QStringLiteral("127.0.0.1:17080")).section(QLatin1Char(':'), 1).toInt());
    const httplib::Result moved = clear.Get(page);
    QVERIFY(moved);
    QCOMPARE(moved->status, 301);
    QCOMPARE(moved->get_header_value("Location"), "https://" + m_service.toStdString() + page);

    const QByteArray picture = "\x89PNG not really a picture";
    QVERIFY(writeFileBytes(m_dir.filePath(QStringLiteral("notice.png")), picture));
    ServerProcess::admin(QStringList { QStringLiteral("add-popup") } + m_storage
        << m_dir.filePath(QStringLiteral("notice.png")) << QStringLiteral("https://example.com/"));
    const QString address = call({ "r=www/default/pc", "do=getConfig", "cfg=tanchuang", "_s=pc" })
                                .value("data")
                                .toObject()
                                .value("datas")
                                .toArray()
                                .first()
                                .toObject()
                                .value("img")
                                .toString();
    QVERIFY2(
        address.startsWith(QStringLiteral("https://") + m_service + QStringLiteral("/notice/")),
        qPrintable(address));
    const httplib::Result image = serviceClient()->Get(QUrl(address).path().toStdString());
    QVERIFY(image);
    QCOMPARE(image->status, 200);
    QCOMPARE(QByteArray::fromStdString(image->body), picture);
}

// One API process stops, as in a restart: nginx sends every call to the
// other one, and the session, kept in the shared database, stays logged in.
void DeployRecipeTest::apiProcessDownIsCoveredByTheOther()
{
    QVERIFY(!m_cookie.empty());
    m_api.front()->terminate();
    QVERIFY(m_api.front()->waitForFinished(10000));
    for (int i = 0; i < 6; ++i) {
        const QJsonObject favourites = call(
            { "r=www/default/pc", "do=fav", "method=get", "persize=100", "page=1", "_s=pc" });
        QCOMPARE(favourites.value("statu").toInt(), 1);
        QCOMPARE(favourites.value("datas").toArray().size(), 1);
    }
}

// A resource the library lacks, from one seeder: the swarm node fetches its
// file list for the API process that was asked, is named for its file, and
// streams it through nginx.
void DeployRecipeTest::swarmNodeStreamsWhatTheLibraryLacks()
{
    QByteArray clip(2 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(21).fillRange(reinterpret_cast<quint32 *>(clip.data()), clip.size() / 4);
    const QString payload = m_dir.filePath(QStringLiteral("peer/swarmclip.mp4"));
    const QString torrent = m_dir.filePath(QStringLiteral("swarmclip.torrent"));
    QVERIFY(writeFileBytes(payload, clip));
    ServerProcess::admin({ QStringLiteral("make-torrent"), torrent, payload });
    SeederProcess seeder;
    QVERIFY(seeder.start(torrent, m_dir.filePath(QStringLiteral("peer"))));
    m_hosts.push_back(std::make_unique<QProcess>());
    QVERIFY(startProcess(
        QStringLiteral("tavrion-host@.service"), 3, m_hosts.back().get(), { seeder.address() }));

    const QString hash = seeder.infoHash();
    QJsonObject list;
    for (int i = 0; i < 5 && list.value("datas").toArray().isEmpty(); ++i)
        list = call({ "r=www/default/pc", "do=getNewHashFileList", "hash=" + hash, "_s=pc" });
    const QJsonArray files = list.value("datas").toArray();
    QVERIFY2(files.size() == 1, qPrintable(list.value("msg").toString()));
    QCOMPARE(qint64(files.first().toObject().value("file_size").toDouble()), qint64(clip.size()));
    QString jxhash;
    const QJsonObject address = playAddress(hash, "swarmclip.mp4", clip.size(), &jxhash);
    const QString host = address.value("field").toString();
    QCOMPARE(host, m_nginx.address(QStringLiteral("127.0.0.1:18083")));
    httplib::Client player("127.0.0.1", host.section(QLatin1Char(':'), 1).toInt());
    const auto whole = player.Get("/ftn_handler/" + address.value("code").toString().toStdString(),
        { { "Cookie", address.value("com_cookie").toString().toStdString() } });
    QVERIFY(whole);
    QCOMPARE(whole->status, 200);
    QVERIFY(QByteArray::fromStdString(whole->body) == clip);
}

void DeployRecipeTest::unitsVerify()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    for (const QString unit : { "tavrion-api@.service", "tavrion-host@.service" }) {
        // An instance of the template, with the program the build made.
        QString text = readText(RecipeNginx::recipeFile(QStringLiteral("systemd/") + unit));
        QVERIFY(text.contains(QLatin1String("ExecStart=/usr/bin/tavrion-server ")));
        text.replace(QLatin1String("ExecStart=/usr/bin/tavrion-server "),
            QStringLiteral("ExecStart=") + ServerProcess::program() + QLatin1Char(' '));
        const QString instance
            = m_dir.filePath(QStringLiteral("units/") + QString(unit).replace("@.", "@1."));
        QVERIFY(writeFileBytes(instance, text.toUtf8()));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(analyze, { QStringLiteral("verify"), instance });
        QVERIFY(verify.waitForFinished(60000));
        const QString output = QString::fromUtf8(verify.readAll()).trimmed();
        if (verify.exitCode() != 0 && output.contains(QLatin1String("System has not been booted")))
            QSKIP(qPrintable(QStringLiteral("systemd-analyze cannot verify here: ") + output));
        QVERIFY2(verify.exitCode() == 0 && output.isEmpty(), qPrintable(output));
    }
}

QTEST_GUILESS_MAIN(DeployRecipeTest)
#include "tst_deployrecipe.moc"
