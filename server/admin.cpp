#include "admin.h"

#include "library.h"
#include "passwords.h"
#include "serverapp.h"
#include "store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace {

const char Usage[] = R"(usage: tavrion-server COMMAND [options]

  serve --data DIR [--database URL] [--listen ADDR:PORT] [--host ADDR:PORT]...
        [--slow-host ADDR:PORT]... [--wrong-host ADDR:PORT]... [--code-ttl SECONDS]
        [--threads N] [--write-timeout SECONDS] [--max-per-address N] [--captcha-text TEXT]
        [--trusted-proxy ADDR]... [--db-connections N]
      Runs the service (default 127.0.0.1:17080). Each --host is a video host listener; the
      first one is named in address replies and all of them form the default domain list.
      Port 0 picks a free port; the chosen addresses are printed before "ready".
      --threads: workers for database and password work (default 4); --write-timeout: a
      reply that makes no progress this long is dropped (default 90); --max-per-address:
      connections one remote address may hold (default 256).
      --captcha-text makes every sign-up captcha read TEXT, for tests; it is refused unless
      the service listens on a loopback address.
      --trusted-proxy: a reverse proxy (its IP address as connections show it) whose
      X-Real-IP header names the viewer, so that login and retrieval limits count viewers,
      not the proxy; other peers' X-Real-IP is ignored.
      --database postgresql://USER@HOST:PORT/NAME keeps the records in that PostgreSQL
      database (several services may share it; the password may come from PGPASSWORD or
      ~/.pgpass) instead of DIR/tavrion.db; DIR still holds the files. The commands below
      take --database too and must be given the same one. --db-connections: how many
      PostgreSQL connections requests use side by side (default: one per worker thread).
    [--bt [--bt-listen ADDR:PORT] [--bt-tracker URL]... [--bt-dht on|off] [--bt-cache DIR]
        [--bt-cache-size SIZE] [--bt-peer ADDR:PORT]... [--bt-download-limit SIZE]
        [--bt-metadata-wait SECONDS] [--bt-stall SECONDS]]
      --bt fetches resources the library does not hold from BitTorrent peers and streams
      their files while they download. --bt-listen: the peer port (default 0.0.0.0:6881);
      --bt-tracker and --bt-peer are given to every such resource; --bt-dht off also turns
      off local discovery, UPnP, NAT-PMP and uTP; --bt-cache: where the payloads go
      (default DIR/swarm), at most --bt-cache-size (bytes, or with K, M, G; default 20G),
      resources streamed longest ago leave first; --bt-download-limit: bytes per second;
      --bt-metadata-wait: how long a file list waits for a new resource (default 5);
      --bt-stall: how long a range waits for missing pieces before it ends (default 60).
  host --data DIR --listen ADDR:PORT [--name NAME] [--database URL|FILE] [--threads N]
        [--write-timeout SECONDS] [--max-per-address N] [--db-connections N] [--bt ...]
      Runs a video-host node: it streams the library files found in DIR under the library's
      own relative paths (library/...) with the recorded size, checks play codes and cookies
      in the services' database and records itself there, so that the services name it in
      address replies for the files it holds. --database: the services' postgresql:// URL,
      or on their machine the path of their SQLite file (default DIR/tavrion.db). --name is
      what clients reach it under (default: the listen address; needed when that is a
      wildcard).
      --bt and the --bt-... options as for serve make it a swarm node as well: services
      without --bt name, for a resource the library does not hold, the live swarm node that
      owns its info-hash, which fetches it from BitTorrent peers and streams it; the file list
      it fetches reaches every service through the database.
  add-resource --data DIR FILE.torrent PAYLOAD_DIR
  add-folder --data DIR FOLDER
  make-torrent OUTPUT.torrent FILE_OR_FOLDER
  add-user --data DIR EMAIL PASSWORD
  grant-vip --data DIR EMAIL (--days N | --permanent) [--svip]
  list-accounts --data DIR
  list-resources --data DIR
  set-domains --data DIR [HOST...]          (no hosts: offer the host listeners)
  add-announcement --data DIR TITLE URL
  clear-announcements --data DIR
  add-popup --data DIR PICTURE URL
  set-popup --data DIR on|off
  clear-popups --data DIR
  --help | --version
      This text, or the version number.

The manual page tavrion-server(1) says more.
)";

const QSet<QString> &flags()
{
    static const QSet<QString> set { QStringLiteral("--permanent"), QStringLiteral("--svip"),
        QStringLiteral("--bt") };
    return set;
}

struct Arguments
{
    QHash<QString, QStringList> options;
    QVector<std::pair<QString, QString>> ordered;
    QSet<QString> flags;
    QStringList positional;
    QString error;

    QString option(const char *name) const { return options.value(QLatin1String(name)).value(0); }
};

Arguments parseArguments(const QStringList &arguments)
{
    Arguments parsed;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (flags().contains(argument)) {
            parsed.flags.insert(argument);
        } else if (argument.startsWith(QLatin1String("--"))) {
            static const QSet<QString> known { QStringLiteral("--data"),
                QStringLiteral("--database"), QStringLiteral("--listen"), QStringLiteral("--host"),
                QStringLiteral("--slow-host"), QStringLiteral("--wrong-host"),
                QStringLiteral("--code-ttl"), QStringLiteral("--threads"),
                QStringLiteral("--write-timeout"), QStringLiteral("--max-per-address"),
                QStringLiteral("--days"), QStringLiteral("--captcha-text"),
                QStringLiteral("--bt-listen"), QStringLiteral("--bt-tracker"),
                QStringLiteral("--bt-dht"), QStringLiteral("--bt-cache"),
                QStringLiteral("--bt-cache-size"), QStringLiteral("--bt-peer"),
                QStringLiteral("--bt-download-limit"), QStringLiteral("--bt-metadata-wait"),
                QStringLiteral("--bt-stall"), QStringLiteral("--name"),
                QStringLiteral("--trusted-proxy"), QStringLiteral("--db-connections") };
            if (!known.contains(argument)) {
                parsed.error = QStringLiteral("unknown option '%1'").arg(argument);
                return parsed;
            }
            if (i + 1 >= arguments.size()) {
                parsed.error = QStringLiteral("%1 needs a value").arg(argument);
                return parsed;
            }
            parsed.options[argument].append(arguments.at(i + 1));
            parsed.ordered.append({ argument, arguments.at(i + 1) });
            ++i;
        } else {
            parsed.positional.append(argument);
        }
    }
    return parsed;
}

int fail(const QString &message)
{
    fprintf(stderr, "tavrion-server: %s\n", qPrintable(message));
    return 1;
}

bool readInteger(const QString &text, std::int64_t min, std::int64_t *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value >= min;
}

// Literal loopback addresses only: a name could resolve anywhere.
bool isLoopbackHost(const std::string &host)
{
    static const QRegularExpression ipv4Loopback(QStringLiteral("^127(\\.[0-9]{1,3}){3}$"));
    return host == "::1" || host == "[::1]"
        || ipv4Loopback.match(QString::fromStdString(host)).hasMatch();
}

// --threads, --write-timeout and --max-per-address of serve and host; empty
// text when they are sound.
QString readConnectionOptions(
    const Arguments &args, int *threads, int *writeTimeoutSeconds, int *maxPerAddress)
{
    std::int64_t number = 0;
    if (args.options.contains(QStringLiteral("--threads"))) {
        if (!readInteger(args.option("--threads"), 1, &number) || number > 64)
            return QStringLiteral("--threads needs a number from 1 to 64");
        *threads = int(number);
    }
    if (args.options.contains(QStringLiteral("--write-timeout"))) {
        if (!readInteger(args.option("--write-timeout"), 1, &number) || number > 86400)
            return QStringLiteral("--write-timeout needs a number of seconds");
        *writeTimeoutSeconds = int(number);
    }
    if (args.options.contains(QStringLiteral("--max-per-address"))) {
        if (!readInteger(args.option("--max-per-address"), 1, &number) || number > 100000)
            return QStringLiteral("--max-per-address needs a number from 1 to 100000");
        *maxPerAddress = int(number);
    }
    return {};
}

// --db-connections of serve and host; empty text when it is sound.
QString readPoolOption(const Arguments &args, int *connections)
{
    std::int64_t number = 0;
    if (!args.options.contains(QStringLiteral("--db-connections")))
        return {};
    if (!readInteger(args.option("--db-connections"), 1, &number) || number > 256)
        return QStringLiteral("--db-connections needs a number from 1 to 256");
    *connections = int(number);
    return {};
}

// The swarm options of serve --bt; empty text when they are sound.
QString readSwarmOptions(const Arguments &args, SwarmOptions *swarm)
{
    const auto has
        = [&args](const char *name) { return args.options.contains(QLatin1String(name)); };
    if (has("--bt-listen")) {
        std::string host;
        int port = 0;
        if (!splitAddress(args.option("--bt-listen"), &host, &port))
            return QStringLiteral("--bt-listen needs ADDR:PORT");
        swarm->listen = args.option("--bt-listen");
    }
    swarm->trackers = args.options.value(QStringLiteral("--bt-tracker"));
    swarm->peers = args.options.value(QStringLiteral("--bt-peer"));
    if (has("--bt-dht")) {
        const QString dht = args.option("--bt-dht");
        if (dht != QLatin1String("on") && dht != QLatin1String("off"))
            return QStringLiteral("--bt-dht needs on or off");
        swarm->dht = dht == QLatin1String("on");
    }
    if (has("--bt-cache"))
        swarm->cacheDir = args.option("--bt-cache");
    if (has("--bt-cache-size")) {
        swarm->cacheBytes = parseByteSize(args.option("--bt-cache-size"));
        if (swarm->cacheBytes <= 0)
            return QStringLiteral("--bt-cache-size needs a size such as 500M or 20G");
    }
    if (has("--bt-download-limit")) {
        swarm->downloadLimit = parseByteSize(args.option("--bt-download-limit"));
        if (swarm->downloadLimit < 0)
            return QStringLiteral("--bt-download-limit needs bytes per second such as 2M");
    }
    std::int64_t seconds = 0;
    if (has("--bt-metadata-wait")) {
        if (!readInteger(args.option("--bt-metadata-wait"), 0, &seconds) || seconds > 600)
            return QStringLiteral("--bt-metadata-wait needs seconds from 0 to 600");
        swarm->metadataWait = std::chrono::seconds(seconds);
    }
    if (has("--bt-stall")) {
        if (!readInteger(args.option("--bt-stall"), 1, &seconds) || seconds > 86400)
            return QStringLiteral("--bt-stall needs a number of seconds");
        swarm->stallLimit = std::chrono::seconds(seconds);
    }
    return {};
}

// --bt and its options, for serve and host; empty text when they are sound.
QString readSwarmFlag(const Arguments &args, bool *bt, SwarmOptions *swarm)
{
    *bt = args.flags.contains(QStringLiteral("--bt"));
    if (*bt)
        return readSwarmOptions(args, swarm);
    if (std::any_of(args.options.keyBegin(), args.options.keyEnd(),
            [](const QString &name) { return name.startsWith(QLatin1String("--bt-")); }))
        return QStringLiteral("the --bt-... options need --bt");
    return {};
}

int serve(const Arguments &args)
{
    ServeOptions options;
    options.dataDir = args.option("--data");
    options.database = args.option("--database");
    if (args.options.contains(QStringLiteral("--listen")))
        options.listen = args.option("--listen");
    // Hosts keep their command-line order across the three options: the
    // first one is the host named in address replies.
    for (const auto &[name, value] : args.ordered) {
        if (name == QLatin1String("--host"))
            options.hosts.append({ value, HostMode::Normal });
        else if (name == QLatin1String("--slow-host"))
            options.hosts.append({ value, HostMode::Slow });
        else if (name == QLatin1String("--wrong-host"))
            options.hosts.append({ value, HostMode::Wrong });
    }
    std::int64_t number = 0;
    if (args.options.contains(QStringLiteral("--code-ttl"))) {
        if (!readInteger(args.option("--code-ttl"), 1, &number))
            return fail(QStringLiteral("--code-ttl needs a number of seconds"));
        options.codeLifetimeSeconds = number;
    }
    const QString limitsProblem = readConnectionOptions(
        args, &options.threads, &options.writeTimeoutSeconds, &options.maxPerAddress);
    if (!limitsProblem.isEmpty())
        return fail(limitsProblem);
    const QString poolProblem = readPoolOption(args, &options.dbConnections);
    if (!poolProblem.isEmpty())
        return fail(poolProblem);
    if (args.options.contains(QStringLiteral("--captcha-text"))) {
        // A known captcha lets anyone sign up without reading the picture:
        // only for a service that nobody else can reach.
        std::string host;
        int port = 0;
        if (!splitAddress(options.listen, &host, &port) || !isLoopbackHost(host))
            return fail(QStringLiteral("--captcha-text needs a loopback --listen address"));
        options.captchaText = args.option("--captcha-text");
        if (options.captchaText.isEmpty())
            return fail(QStringLiteral("--captcha-text needs a text"));
    }
    for (const QString &proxy : args.options.value(QStringLiteral("--trusted-proxy"))) {
        sockaddr_storage parsed {};
        if (inet_pton(AF_INET, proxy.toLatin1().constData(), &parsed) != 1
            && inet_pton(AF_INET6, proxy.toLatin1().constData(), &parsed) != 1)
            return fail(QStringLiteral("--trusted-proxy needs an IP address, not %1").arg(proxy));
        options.trustedProxies.append(proxy);
    }
    const QString swarmProblem = readSwarmFlag(args, &options.bt, &options.swarm);
    if (!swarmProblem.isEmpty())
        return fail(swarmProblem);
    return runServe(options);
}

int host(const Arguments &args)
{
    HostNodeOptions options;
    options.dataDir = args.option("--data");
    options.database = args.option("--database");
    options.listen = args.option("--listen");
    options.name = args.option("--name");
    std::string listenHost;
    int port = 0;
    if (!splitAddress(options.listen, &listenHost, &port))
        return fail(QStringLiteral("host needs --listen ADDR:PORT"));
    if (options.name.isEmpty()
        && (listenHost == "0.0.0.0" || listenHost == "::" || listenHost == "[::]"))
        return fail(QStringLiteral("host needs --name when it listens on every address"));
    static const QRegularExpression publicName(QStringLiteral("^[A-Za-z0-9.:\\[\\]-]*$"));
    if (!publicName.match(options.name).hasMatch())
        return fail(QStringLiteral("--name needs a host name or address, with an optional port"));
    // A mistyped path must not start a node over an empty database of its own.
    if (!options.database.isEmpty() && !isPostgresLocation(options.database)
        && !QFileInfo(options.database).isFile())
        return fail(QStringLiteral("no database file %1").arg(options.database));
    const QString limitsProblem = readConnectionOptions(
        args, &options.threads, &options.writeTimeoutSeconds, &options.maxPerAddress);
    if (!limitsProblem.isEmpty())
        return fail(limitsProblem);
    const QString poolProblem = readPoolOption(args, &options.dbConnections);
    if (!poolProblem.isEmpty())
        return fail(poolProblem);
    const QString swarmProblem = readSwarmFlag(args, &options.bt, &options.swarm);
    if (!swarmProblem.isEmpty())
        return fail(swarmProblem);
    return runHost(options);
}

int listAccounts(Store &store)
{
    const std::int64_t now = currentTime();
    for (const Account &account : store.accounts()) {
        QString vip = QStringLiteral("-");
        if (account.vipPermanent)
            vip = QStringLiteral("permanent");
        else if (account.vipUntil > now)
            vip = QStringLiteral("until ")
                + QDateTime::fromSecsSinceEpoch(account.vipUntil, Qt::UTC).toString(Qt::ISODate);
        printf("%lld\t%s\tvip %s%s\n", static_cast<long long>(account.id),
            qPrintable(account.email), qPrintable(vip), account.svip ? " svip" : "");
    }
    return 0;
}

QString rateText(double bytesPerSecond)
{
    static const char *const units[] = { "B/s", "KB/s", "MB/s", "GB/s" };
    int unit = 0;
    while (bytesPerSecond >= 1024 && unit < 3) {
        bytesPerSecond /= 1024;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B/s").arg(qRound(bytesPerSecond))
                     : QStringLiteral("%1 %2").arg(bytesPerSecond, 0, 'f', 1).arg(units[unit]);
}

// The swarm table a running serve --bt publishes, by info-hash; empty when
// none runs (the table is gone or has not been refreshed for a while).
QHash<QString, QJsonObject> swarmTable(Store &store)
{
    QFile file(store.absolutePath(QStringLiteral("swarm-status.json")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject table = QJsonDocument::fromJson(file.readAll()).object();
    if (currentTime() - std::int64_t(table.value(QStringLiteral("updated")).toDouble()) > 10)
        return {};
    QHash<QString, QJsonObject> rows;
    for (const QJsonValue &row : table.value(QStringLiteral("resources")).toArray())
        rows.insert(row.toObject().value(QStringLiteral("hash")).toString(), row.toObject());
    return rows;
}

QString swarmLine(const QJsonObject &row)
{
    return QStringLiteral("  swarm: %1, %2%, peers %3, down %4, up %5, streams %6")
        .arg(row.value(QStringLiteral("state")).toString())
        .arg(row.value(QStringLiteral("progress")).toDouble() * 100, 0, 'f', 1)
        .arg(row.value(QStringLiteral("peers")).toInt())
        .arg(rateText(row.value(QStringLiteral("download")).toDouble()),
            rateText(row.value(QStringLiteral("upload")).toDouble()))
        .arg(row.value(QStringLiteral("streams")).toInt());
}

int listResources(Store &store)
{
    QHash<QString, QJsonObject> swarm = swarmTable(store);
    const QStringList swarmHashes = store.swarmResourceHashes();
    for (const QString &hash : store.resourceHashes()) {
        printf("%s\n", qPrintable(hash));
        if (swarm.contains(hash))
            printf("%s\n", qPrintable(swarmLine(swarm.take(hash))));
        else if (swarmHashes.contains(hash))
            printf("  swarm: not running\n");
        for (const FileRecord &file : store.resourceFiles(hash))
            printf("  %lld\t%lld\t%s\n", static_cast<long long>(file.index),
                static_cast<long long>(file.size), qPrintable(file.name));
    }
    // Hashes still waiting for their metadata.
    for (auto row = swarm.constBegin(); row != swarm.constEnd(); ++row)
        printf("%s\n%s\n", qPrintable(row.key()), qPrintable(swarmLine(row.value())));
    return 0;
}

void appendToList(Store &store, const QString &key, const QJsonObject &entry)
{
    QJsonArray list = QJsonDocument::fromJson(store.config(key).toUtf8()).array();
    list.append(entry);
    store.setConfig(key, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
}

int addPopup(Store &store, const QString &picture, const QString &url)
{
    const QFileInfo info(picture);
    if (!info.isFile())
        return fail(QStringLiteral("no picture %1").arg(picture));
    static const QRegularExpression extension(QStringLiteral("^(png|jpg|jpeg|gif)$"));
    const QString suffix = info.suffix().toLower();
    if (!extension.match(suffix).hasMatch())
        return fail(QStringLiteral("the picture must be PNG, JPEG or GIF"));
    const QString name = randomHex(8) + QLatin1Char('.') + suffix;
    QDir().mkpath(store.absolutePath(QStringLiteral("notices")));
    if (!QFile::copy(picture, store.absolutePath(QStringLiteral("notices/") + name)))
        return fail(QStringLiteral("cannot copy %1").arg(picture));
    appendToList(store, QStringLiteral("tanchuang"),
        QJsonObject { { QStringLiteral("image"), name }, { QStringLiteral("url"), url } });
    return 0;
}

int runDataCommand(const QString &command, const Arguments &args)
{
    const QString dataDir = args.option("--data");
    if (dataDir.isEmpty())
        return fail(QStringLiteral("%1 needs --data DIR").arg(command));
    Store store(dataDir, args.option("--database"));
    const QStringList &p = args.positional;

    if (command == QLatin1String("add-resource") || command == QLatin1String("add-folder")) {
        const bool torrent = command == QLatin1String("add-resource");
        if (p.size() != (torrent ? 2 : 1))
            return fail(QStringLiteral("wrong number of arguments for %1").arg(command));
        const AddResult result = torrent ? addTorrentResource(store, p.at(0), p.at(1))
                                         : addFolderResource(store, p.at(0));
        if (!result.ok)
            return fail(result.error);
        printf("%s\n", qPrintable(result.id));
        return 0;
    }
    if (command == QLatin1String("add-user")) {
        if (p.size() != 2)
            return fail(QStringLiteral("add-user needs EMAIL PASSWORD"));
        if (!store.createAccount(p.at(0), hashPassword(p.at(1))))
            return fail(QStringLiteral("%1 is already registered").arg(p.at(0)));
        return 0;
    }
    if (command == QLatin1String("grant-vip")) {
        std::int64_t days = 0;
        const bool permanent = args.flags.contains(QStringLiteral("--permanent"));
        if (p.size() != 1 || (!permanent && !readInteger(args.option("--days"), 1, &days))
            || (permanent && args.options.contains(QStringLiteral("--days"))))
            return fail(QStringLiteral("grant-vip needs EMAIL and --days N or --permanent"));
        if (!store.grantVip(
                p.at(0), int(days), permanent, args.flags.contains(QStringLiteral("--svip"))))
            return fail(QStringLiteral("no account %1").arg(p.at(0)));
        return 0;
    }
    if (command == QLatin1String("list-accounts"))
        return listAccounts(store);
    if (command == QLatin1String("list-resources"))
        return listResources(store);
    if (command == QLatin1String("set-domains")) {
        store.setConfig(QStringLiteral("video_domain"),
            p.isEmpty()
                ? QString()
                : QString::fromUtf8(
                    QJsonDocument(QJsonArray::fromStringList(p)).toJson(QJsonDocument::Compact)));
        return 0;
    }
    if (command == QLatin1String("add-announcement")) {
        if (p.size() != 2)
            return fail(QStringLiteral("add-announcement needs TITLE URL"));
        appendToList(store, QStringLiteral("gonggao"),
            QJsonObject {
                { QStringLiteral("title"), p.at(0) }, { QStringLiteral("url"), p.at(1) } });
        return 0;
    }
    if (command == QLatin1String("clear-announcements")) {
        store.setConfig(QStringLiteral("gonggao"), QStringLiteral("[]"));
        return 0;
    }
    if (command == QLatin1String("add-popup")) {
        if (p.size() != 2)
            return fail(QStringLiteral("add-popup needs PICTURE URL"));
        return addPopup(store, p.at(0), p.at(1));
    }
    if (command == QLatin1String("set-popup")) {
        if (p.size() != 1 || (p.at(0) != QLatin1String("on") && p.at(0) != QLatin1String("off")))
            return fail(QStringLiteral("set-popup needs on or off"));
        store.setConfig(QStringLiteral("tanchuang_enable"),
            p.at(0) == QLatin1String("on") ? QStringLiteral("true") : QStringLiteral("false"));
        return 0;
    }
    if (command == QLatin1String("clear-popups")) {
        store.setConfig(QStringLiteral("tanchuang"), QStringLiteral("[]"));
        return 0;
    }
    fprintf(stderr, "%s", Usage);
    return 2;
}

} // namespace

int runCommand(const QStringList &arguments)
{
    if (arguments.isEmpty() || arguments.first() == QLatin1String("--help")
        || arguments.first() == QLatin1String("-h") || arguments.first() == QLatin1String("help")) {
        fprintf(arguments.isEmpty() ? stderr : stdout, "%s", Usage);
        return arguments.isEmpty() ? 2 : 0;
    }
    if (arguments.first() == QLatin1String("--version")) {
        printf("tavrion-server %s\n", TAVRION_VERSION);
        return 0;
    }
    const QString command = arguments.first();
    static const QSet<QString> commands { QStringLiteral("serve"), QStringLiteral("host"),
        QStringLiteral("make-torrent"), QStringLiteral("add-resource"),
        QStringLiteral("add-folder"), QStringLiteral("add-user"), QStringLiteral("grant-vip"),
        QStringLiteral("list-accounts"), QStringLiteral("list-resources"),
        QStringLiteral("set-domains"), QStringLiteral("add-announcement"),
        QStringLiteral("clear-announcements"), QStringLiteral("add-popup"),
        QStringLiteral("set-popup"), QStringLiteral("clear-popups") };
    // Mistakes in the command line itself end with status 2 and one line.
    if (!commands.contains(command)) {
        fail(QStringLiteral("unknown %1 '%2' (see tavrion-server --help)")
                 .arg(command.startsWith(QLatin1Char('-')) ? QStringLiteral("option")
                                                           : QStringLiteral("command"),
                     command));
        return 2;
    }
    const Arguments args = parseArguments(arguments.mid(1));
    if (!args.error.isEmpty()) {
        fail(args.error + QStringLiteral(" (see tavrion-server --help)"));
        return 2;
    }
    try {
        if (command == QLatin1String("make-torrent")) {
            if (args.positional.size() != 2)
                return fail(QStringLiteral("make-torrent needs OUTPUT.torrent FILE_OR_FOLDER"));
            const QString error = makeTorrent(args.positional.at(1), args.positional.at(0));
            return error.isEmpty() ? 0 : fail(error);
        }
        const QString database = args.option("--database");
        // A host node on the service's own machine may share its SQLite file.
        if (args.options.contains(QStringLiteral("--database")) && !isPostgresLocation(database)
            && command != QLatin1String("host"))
            return fail(QStringLiteral("--database needs a postgresql:// URL"));
        if (command == QLatin1String("serve")) {
            if (args.option("--data").isEmpty())
                return fail(QStringLiteral("serve needs --data DIR"));
            return serve(args);
        }
        if (command == QLatin1String("host")) {
            if (args.option("--data").isEmpty())
                return fail(QStringLiteral("host needs --data DIR"));
            return host(args);
        }
        return runDataCommand(command, args);
    } catch (const std::exception &error) {
        return fail(QString::fromLocal8Bit(error.what()));
    }
}
