#include "service.h"

#include "captcha.h"
#include "common/atomicsave.h"
#include "database.h"
#include "formparams.h"
#include "httpengine.h"
#include "library.h"
#include "pages.h"
#include "passwords.h"
#include "requestchecks.h"
#include "store.h"
#include "swarm.h"
#include "swarmnodes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace {

// Shown as the end of a permanent VIP period: 2100-01-01 00:00 UTC.
constexpr std::int64_t PermanentVipTime = 4102444800;
constexpr int MinPasswordLength = 6;
constexpr int MaxPasswordLength = 64;
constexpr int MaxTextLength = 2000;

enum class Method { Get, Post };

struct Route
{
    Method method;
    bool sign;
};

// The routes of "/server/", keyed by "r", then "cs0" or "do", then "method"
// or "cfg" where the operation has one.
const QHash<QString, Route> &routes()
{
    static const QHash<QString, Route> table {
        { QStringLiteral("default/verfy"), { Method::Get, false } },
        { QStringLiteral("www/default/pc|do=getNewHashFileList"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|cs0=lixian_qq"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|cs0=qqlixian_gethttp"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|do=getConfig|cfg=video_domain"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|do=getConfig|cfg=gonggao"), { Method::Get, false } },
        { QStringLiteral("www/default/pc|do=getConfig|cfg=tanchuang"), { Method::Get, false } },
        { QStringLiteral("www/default/pc|do=fav|method=get"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|do=fav|method=add"), { Method::Post, true } },
        { QStringLiteral("www/default/pc|do=fav|method=del"), { Method::Get, true } },
        { QStringLiteral("www/default/pc|do=report|method=add"), { Method::Post, true } },
        { QStringLiteral("www/user/login|do=login"), { Method::Post, true } },
        { QStringLiteral("www/user/logout|do=logout"), { Method::Post, false } },
        { QStringLiteral("www/user/register|do=register_new"), { Method::Post, true } },
        { QStringLiteral("www/user/forgetpwd|do=forgetpwd"), { Method::Post, false } },
        { QStringLiteral("www/user/pwd|do=pwd"), { Method::Post, false } },
    };
    return table;
}

QString routeKey(const FormParams &params)
{
    QString key = params.value(QStringLiteral("r"));
    const QString operation = params.value(QStringLiteral("do"));
    if (params.contains(QStringLiteral("cs0")))
        key += QStringLiteral("|cs0=") + params.value(QStringLiteral("cs0"));
    else if (params.contains(QStringLiteral("do")))
        key += QStringLiteral("|do=") + operation;
    if (operation == QLatin1String("fav") || operation == QLatin1String("report"))
        key += QStringLiteral("|method=") + params.value(QStringLiteral("method"));
    else if (operation == QLatin1String("getConfig"))
        key += QStringLiteral("|cfg=") + params.value(QStringLiteral("cfg"));
    return key;
}

bool isInfoHash(const QString &id)
{
    return id.size() == 40 && !id.startsWith(QLatin1String("appdata_"));
}

bool isEmailAddress(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$"));
    return text.size() <= 254 && pattern.match(text).hasMatch();
}

// Reads a decimal number that fits the range; nothing for anything else.
std::optional<std::int64_t> readNumber(const QString &text, std::int64_t max)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,19}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || value > qulonglong(max))
        return std::nullopt;
    return std::int64_t(value);
}

QString refusalForStatus(int status)
{
    switch (status) {
    case 404:
        return QStringLiteral("请求的地址不存在");
    case 405:
        return QStringLiteral("请求方式错误");
    case 413:
        return QStringLiteral("请求内容过大");
    default:
        return QStringLiteral("请求无效");
    }
}

enum class PasswordMatch { None, Current, Pending };

// Checks a password against the account's and a retrieval's pending one.
PasswordMatch matchPassword(const Account &account, const QString &pending, const QString &password)
{
    if (verifyPassword(password, account.password))
        return PasswordMatch::Current;
    if (!pending.isEmpty() && verifyPassword(password, pending))
        return PasswordMatch::Pending;
    return PasswordMatch::None;
}

QJsonArray readJsonArray(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

} // namespace

struct Service::Reply
{
    int statu = 1;
    QString msg;
    QJsonValue data = QJsonValue::Undefined;
    QJsonValue datas = QJsonValue::Undefined;
    // A reply that is not an envelope: the body and its content type.
    QByteArray body;
    QByteArray contentType;
    // No reply yet: the request is handled again once this wakes it or the
    // limit passes.
    std::function<void(std::function<void()>)> park;
    std::chrono::milliseconds parkLimit { 0 };

    static Reply refuse(const QString &message)
    {
        Reply reply;
        reply.statu = 0;
        reply.msg = message;
        return reply;
    }
    static Reply withData(const QJsonValue &data)
    {
        Reply reply;
        reply.data = data;
        return reply;
    }
};

struct Service::Context
{
    const HttpRequest &request;
    FormParams params;
    QString session;
    Store &store;
    // The account logged in on the session, or 0. Looked up at the first
    // call: most calls do not depend on it, and on a shared database each
    // lookup is a round trip.
    std::int64_t accountId()
    {
        if (!account)
            account = store.sessionAccount(session);
        return *account;
    }
    QString value(const char *key) const { return params.value(QLatin1String(key)); }
    std::optional<std::int64_t> account = std::nullopt;
};

Service::Service(Store &store, const CaptchaRenderer &captcha, ServiceOptions options)
    : m_store(store)
    , m_captcha(captcha)
    , m_options(std::move(options))
    , m_loginByPair(store.database(), "login-pair", 5, 1000, 900000, 3600000)
    , m_loginByAddress(store.database(), "login-address", 20, 1000, 900000, 3600000)
    , m_loginByAccount(store.database(), "login-account", 50, 1000, 60000, 3600000)
    , m_retrievalByAccount(store.database(), "retrieval-account", 3, 3600000)
    , m_retrievalByAddress(store.database(), "retrieval-address", 10, 3600000)
{
}

void Service::setHosts(const QString &field, const QStringList &defaultDomains)
{
    m_options.field = field;
    m_options.defaultDomains = defaultDomains;
}

std::string Service::refusal(const QString &message)
{
    const QJsonObject envelope { { QStringLiteral("statu"), 0 },
        { QStringLiteral("msg"), message } };
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact).toStdString();
}

void Service::handle(const HttpRequest &request, HttpResponse &response)
{
    // An id the service no longer knows is adopted: the client never
    // replaces a cookie it has stored, so a new one would be ignored.
    QString session = sessionIdOfCookie(request.header("Cookie"));
    if (session.isEmpty()) {
        session = randomHex(16);
        response.setHeader("Set-Cookie",
            QStringLiteral("%1=%2; path=/; HttpOnly; SameSite=Lax")
                .arg(QLatin1String(SessionCookieName), session)
                .toStdString());
    }

    const bool isPost = request.method == "POST";
    const std::string &raw = isPost ? request.body : std::string();
    QByteArray rawParams = isPost ? QByteArray::fromStdString(raw) : QByteArray();
    if (!isPost) {
        const std::string::size_type question = request.target.find('?');
        if (question != std::string::npos)
            rawParams = QByteArray::fromStdString(request.target.substr(question + 1));
    }

    Reply reply;
    std::optional<FormParams> params = FormParams::parse(rawParams);
    if (!params) {
        reply = Reply::refuse(QStringLiteral("参数错误"));
    } else {
        try {
            Context context { request, *params, session, m_store };
            reply = dispatch(context);
        } catch (const DatabaseError &error) {
            fprintf(stderr, "tavrion-server: %s\n", error.what());
            reply = Reply::refuse(error.storageFull()
                    ? QStringLiteral("服务器存储空间不足，请稍后再试")
                    : QStringLiteral("服务器内部错误"));
        } catch (const std::exception &error) {
            fprintf(stderr, "tavrion-server: %s\n", error.what());
            reply = Reply::refuse(QStringLiteral("服务器内部错误"));
        }
    }

    if (reply.park) {
        response = HttpResponse();
        response.park = std::move(reply.park);
        response.parkLimit = reply.parkLimit;
        return;
    }
    response.status = 200;
    if (!reply.contentType.isEmpty()) {
        response.setContent(reply.body.toStdString(), reply.contentType.toStdString());
        return;
    }
    QJsonObject envelope { { QStringLiteral("statu"), reply.statu },
        { QStringLiteral("msg"), reply.msg } };
    if (!reply.data.isUndefined())
        envelope.insert(QStringLiteral("data"), reply.data);
    if (!reply.datas.isUndefined())
        envelope.insert(QStringLiteral("datas"), reply.datas);
    response.setContent(QJsonDocument(envelope).toJson(QJsonDocument::Compact).toStdString(),
        "application/json; charset=utf-8");
}

Service::Reply Service::dispatch(Context &context)
{
    const bool isPost = context.request.method == "POST";
    const QString route = context.value("r");
    if (!isPost && !context.params.contains(QStringLiteral("do"))) {
        const QString html = pageHtml(route, context.value("p"));
        if (!html.isEmpty()) {
            Reply reply;
            reply.body = html.toUtf8();
            reply.contentType = "text/html; charset=utf-8";
            return reply;
        }
    }
    const QString key = routeKey(context.params);
    const auto found = routes().constFind(key);
    if (found == routes().constEnd())
        return Reply::refuse(QStringLiteral("未知的请求"));
    if ((found->method == Method::Post) != isPost)
        return Reply::refuse(QStringLiteral("请求方式错误"));
    if (found->sign && !context.params.hasValidSignature(m_options.signingKey))
        return Reply::refuse(QStringLiteral("签名错误"));

    const QString operation = key.section(QLatin1Char('|'), 1, 1).section(QLatin1Char('='), 1);
    const QString detail = key.section(QLatin1Char('|'), 2, 2).section(QLatin1Char('='), 1);
    if (route == QLatin1String("default/verfy"))
        return captchaImage(context);
    if (operation == QLatin1String("getNewHashFileList"))
        return fileList(context);
    if (operation == QLatin1String("lixian_qq"))
        return fileHash(context);
    if (operation == QLatin1String("qqlixian_gethttp"))
        return fileAddress(context);
    if (operation == QLatin1String("getConfig"))
        return config(context, detail);
    if (operation == QLatin1String("fav"))
        return favourites(context, detail);
    if (operation == QLatin1String("report"))
        return report(context);
    if (operation == QLatin1String("login"))
        return login(context);
    if (operation == QLatin1String("logout"))
        return logout(context);
    if (operation == QLatin1String("register_new"))
        return registerAccount(context);
    if (operation == QLatin1String("forgetpwd"))
        return forgetPassword(context);
    return modifyPassword(context);
}

namespace {

// A resource fetched from peers: its file list waits a while, holding no
// thread, for the metadata; after that the user is asked to try again.
// How much longer it may wait; nothing once it waited `limit`.
std::optional<std::chrono::milliseconds> metadataWaitLeft(
    const HttpRequest &request, std::chrono::milliseconds limit)
{
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - request.arrived);
    if (request.parkExpired || waited >= limit)
        return std::nullopt;
    return limit - waited;
}

} // namespace

Service::Reply Service::fileList(Context &context)
{
    const QString hash = normaliseResourceId(context.value("hash"));
    if (hash.isEmpty())
        return Reply::refuse(QStringLiteral("资源格式错误"));
    QVector<FileRecord> files = m_store.resourceFiles(hash);
    if (files.isEmpty() && m_swarm && isInfoHash(hash) && m_swarm->storeSaved(hash))
        files = m_store.resourceFiles(hash);
    if (files.isEmpty() && m_swarm && isInfoHash(hash)) {
        const auto left = metadataWaitLeft(context.request, m_swarm->options().metadataWait);
        if (!left)
            return Reply::refuse(QStringLiteral("资源正在获取中，请稍后再试"));
        Reply reply;
        reply.park = [swarm = m_swarm, hash](std::function<void()> wake) {
            swarm->fetchMetadata(hash, std::move(wake));
        };
        reply.parkLimit = *left;
        return reply;
    }
    if (!m_swarm && m_swarmNodes && isInfoHash(hash)
        && (files.isEmpty() || !files.first().swarmId.isEmpty())
        && !m_swarmNodes->liveNodes().isEmpty()) {
        // The owning swarm node fetches it, or gets it ready to play; the
        // file list it stores comes through the database.
        if (files.isEmpty()) {
            const auto left = metadataWaitLeft(context.request, m_swarmNodes->metadataWait());
            if (!left)
                return Reply::refuse(QStringLiteral("资源正在获取中，请稍后再试"));
            // Each new info-hash is a row and a fetch on a node.
            if (!m_swarmAsksByAddress.take(viewerAddress(context), currentTime()))
                return Reply::refuse(QStringLiteral("请求过于频繁，请稍后再试"));
            m_swarmNodes->ask(hash);
            Reply reply;
            reply.park = [nodes = m_swarmNodes, hash, rest = *left](std::function<void()> wake) {
                nodes->await(hash, std::move(wake), rest);
            };
            reply.parkLimit = *left;
            return reply;
        }
        m_swarmNodes->ask(hash);
    }
    if (files.isEmpty())
        return Reply::refuse(QStringLiteral("资源不存在"));
    QJsonArray list;
    for (const FileRecord &file : files)
        list.append(QJsonObject { { QStringLiteral("index"), double(file.index) },
            { QStringLiteral("name"), file.name },
            { QStringLiteral("file_size"), double(file.size) } });
    Reply reply;
    reply.datas = list;
    return reply;
}

Service::Reply Service::fileHash(Context &context)
{
    const QString hash = normaliseResourceId(context.value("hash"));
    const std::optional<std::int64_t> index
        = readNumber(context.value("index"), std::numeric_limits<quint32>::max());
    if (hash.isEmpty() || !index)
        return Reply::refuse(QStringLiteral("参数错误"));
    const std::optional<FileRecord> file = m_store.file(hash, *index);
    if (!file)
        return Reply::refuse(QStringLiteral("文件不存在"));
    QJsonObject data { { QStringLiteral("jxhash"), file->jxhash } };
    // The same content already held by an earlier resource is served from there.
    const std::optional<FileRecord> first = m_store.firstFileWithContent(file->jxhash);
    if (first && first->id != file->id) {
        data.insert(QStringLiteral("hash"), first->resource);
        data.insert(QStringLiteral("index"), double(first->index));
        data.insert(QStringLiteral("size"), double(first->size));
    }
    return Reply::withData(data);
}

Service::Reply Service::fileAddress(Context &context)
{
    const QString hash = normaliseResourceId(context.value("hash"));
    const std::optional<std::int64_t> index
        = readNumber(context.value("index"), std::numeric_limits<quint32>::max());
    const std::optional<std::int64_t> size
        = readNumber(context.value("size"), std::numeric_limits<std::int64_t>::max());
    const QString reload = context.value("reload");
    if (hash.isEmpty() || !index || !size)
        return Reply::refuse(QStringLiteral("参数错误"));
    const std::optional<FileRecord> file = m_store.file(hash, *index);
    if (!file)
        return Reply::refuse(QStringLiteral("文件不存在"));
    // A swarm file keeps answering to the id it had before its content
    // hash was known (and to that hash after its bytes left the cache).
    const QString jxhash = context.value("jxhash");
    const auto names = [&jxhash](const QString &known) {
        return !known.isEmpty() && jxhash.compare(known, Qt::CaseInsensitive) == 0;
    };
    if (*size != file->size
        || (!jxhash.isEmpty() && !names(file->jxhash) && !names(file->swarmId)
            && !names(file->content)))
        return Reply::refuse(QStringLiteral("文件校验失败"));
    if (context.accountId() == 0
        && !m_anonymousCodesByAddress.take(viewerAddress(context), currentTime()))
        return Reply::refuse(QStringLiteral("请求过于频繁，请稍后再试"));
    const AddressCode code = m_store.issueCode(
        file->id, context.session, reload == QLatin1String("1"), m_options.codeLifetime);
    // A live host node that holds the file streams it, a swarm file the
    // swarm node that owns its resource; without one, the service's own
    // host does.
    QString field = pickHolder(code.code, m_nodes.liveHolders(file->id));
    if (field.isEmpty() && !m_swarm && m_swarmNodes && !file->swarmId.isEmpty())
        field = swarmOwner(file->resource, m_swarmNodes->liveNodes());
    if (field.isEmpty())
        field = m_options.field;
    return Reply::withData(QJsonObject { { QStringLiteral("code"), code.code },
        { QStringLiteral("com_cookie"), code.cookie }, { QStringLiteral("field"), field } });
}

Service::Reply Service::config(Context &context, const QString &which)
{
    if (which == QLatin1String("video_domain")) {
        const QString stored = m_store.config(QStringLiteral("video_domain"));
        if (stored.isEmpty()) {
            QStringList domains = m_nodes.liveNodes() + m_options.defaultDomains;
            domains.removeDuplicates();
            return Reply::withData(QJsonArray::fromStringList(domains));
        }
        return Reply::withData(readJsonArray(stored));
    }
    if (which == QLatin1String("gonggao"))
        return Reply::withData(readJsonArray(m_store.config(QStringLiteral("gonggao"))));

    // Notice pictures are served by this service; their address uses the
    // host name and, behind a TLS front, the scheme the client reached it
    // under: a plain address on a TLS port would not load.
    const bool overTls
        = fromTrustedProxy(context) && context.request.header("X-Forwarded-Proto") == "https";
    QString host = QString::fromStdString(context.request.header("Host"));
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9.:\\[\\]-]+$"));
    if (!hostPattern.match(host).hasMatch())
        host = m_options.field;
    QJsonArray pages;
    for (const QJsonValue &value : readJsonArray(m_store.config(QStringLiteral("tanchuang")))) {
        const QJsonObject notice = value.toObject();
        pages.append(
            QJsonObject { { QStringLiteral("img"),
                              QStringLiteral("%1://%2/notice/%3")
                                  .arg(overTls ? QStringLiteral("https") : QStringLiteral("http"),
                                      host, notice.value(QStringLiteral("image")).toString()) },
                { QStringLiteral("url"), notice.value(QStringLiteral("url")).toString() } });
    }
    const bool enabled
        = m_store.config(QStringLiteral("tanchuang_enable")) == QLatin1String("true");
    return Reply::withData(QJsonObject {
        { QStringLiteral("enable"), enabled ? QStringLiteral("true") : QStringLiteral("false") },
        { QStringLiteral("datas"), pages } });
}

Service::Reply Service::favourites(Context &context, const QString &method)
{
    if (context.accountId() == 0)
        return Reply::refuse(QStringLiteral("请先登录"));
    if (method == QLatin1String("get")) {
        const std::optional<std::int64_t> page = readNumber(context.value("page"), 1000000);
        const std::optional<std::int64_t> perPage = readNumber(context.value("persize"), 100);
        if (!page || !perPage || *page < 1 || *perPage < 1)
            return Reply::refuse(QStringLiteral("参数错误"));
        QJsonArray list;
        for (const Favourite &favourite :
            m_store.favourites(context.accountId(), int(*page), int(*perPage)))
            list.append(QJsonObject { { QStringLiteral("id"), double(favourite.id) },
                { QStringLiteral("hash"), favourite.hash },
                { QStringLiteral("index"), double(favourite.index) },
                { QStringLiteral("name"), favourite.name } });
        Reply reply;
        reply.datas = list;
        return reply;
    }
    if (method == QLatin1String("add")) {
        const QString hash = normaliseResourceId(context.value("hash"));
        const std::optional<std::int64_t> index
            = readNumber(context.value("index"), std::numeric_limits<quint32>::max());
        const QString name = context.value("name");
        if (hash.isEmpty() || !index || name.isEmpty())
            return Reply::refuse(QStringLiteral("参数错误"));
        if (name.size() > MaxTextLength)
            return Reply::refuse(
                QStringLiteral("收藏名称过长，请不要超过%1个字符").arg(MaxTextLength));
        if (!m_store.addFavourite(context.accountId(), hash, *index, name))
            return Reply::refuse(QStringLiteral("该文件已在收藏中"));
        return Reply();
    }
    const std::optional<std::int64_t> id
        = readNumber(context.value("id"), std::numeric_limits<quint32>::max());
    if (!id)
        return Reply::refuse(QStringLiteral("参数错误"));
    if (!m_store.deleteFavourite(context.accountId(), *id))
        return Reply::refuse(QStringLiteral("收藏不存在"));
    return Reply();
}

Service::Reply Service::report(Context &context)
{
    const QString name = context.value("name");
    const QString description = context.value("desc");
    if (name.trimmed().isEmpty() || description.trimmed().isEmpty())
        return Reply::refuse(QStringLiteral("请填写举报内容"));
    if (name.size() > MaxTextLength || description.size() > MaxTextLength * 5)
        return Reply::refuse(QStringLiteral("举报内容过长"));
    if (context.accountId() == 0
        && !m_anonymousReportsByAddress.take(viewerAddress(context), currentTime()))
        return Reply::refuse(QStringLiteral("举报过于频繁，请稍后再试"));
    m_store.addReport(context.accountId(), context.session, name, description);
    return Reply();
}

// Behind a reverse proxy every request arrives from the proxy's address, so
// limits per address would count all viewers as one. Only a proxy the
// operator named is believed: anyone else could pick the address its guesses
// are counted against.
bool Service::fromTrustedProxy(const Context &context) const
{
    const auto &proxies = m_options.trustedProxies;
    return std::find(proxies.begin(), proxies.end(), context.request.peer) != proxies.end();
}

std::string Service::viewerAddress(const Context &context) const
{
    const std::string &peer = context.request.peer;
    if (!fromTrustedProxy(context))
        return peer;
    const std::string named = context.request.header("X-Real-IP");
    const bool plausible = !named.empty() && named.size() <= 45
        && named.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos;
    return plausible ? named : peer;
}

Service::Reply Service::login(Context &context)
{
    const QString email = context.value("f[username]");
    const QString password = context.value("f[password]");
    if (email.isEmpty() || password.isEmpty())
        return Reply::refuse(QStringLiteral("请输入账号和密码"));
    // Guessing is slowed per account and address, per address and, well
    // above what a person mistypes, per account; an address the account
    // logged in from before only waits for its own failures.
    const std::string accountKey = email.toLower().toStdString();
    const std::string address = viewerAddress(context);
    const std::string pairKey = accountKey + '|' + address;
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    const std::optional<Account> account = m_store.accountByEmail(email);
    std::int64_t wait = m_loginByPair.wait(pairKey, now);
    if (!account || !m_store.loggedInFrom(account->id, QString::fromStdString(address)))
        wait = std::max(
            { wait, m_loginByAddress.wait(address, now), m_loginByAccount.wait(accountKey, now) });
    if (wait > 0)
        return Reply::refuse(
            QStringLiteral("登录尝试过于频繁，请%1秒后再试").arg((wait + 999) / 1000));
    const QString pending = account ? m_store.pendingPassword(account->id) : QString();
    const PasswordMatch match
        = account ? matchPassword(*account, pending, password) : PasswordMatch::None;
    if (match == PasswordMatch::None) {
        m_loginByPair.fail(pairKey, now);
        m_loginByAddress.fail(address, now);
        m_loginByAccount.fail(accountKey, now);
        return Reply::refuse(QStringLiteral("账号或密码错误"));
    }
    // The first login after a retrieval settles which password stays: the
    // mailed one becomes the password, or the current one drops it.
    if (match == PasswordMatch::Pending)
        m_store.setPassword(account->id, pending);
    else if (!pending.isEmpty())
        m_store.dropPendingPassword(account->id);
    m_loginByPair.succeed(pairKey);
    m_store.noteLoginAddress(account->id, QString::fromStdString(address));
    m_store.setSessionAccount(context.session, account->id);
    const bool vip = account->vipPermanent || account->vipUntil > currentTime();
    const std::int64_t viptime = account->vipPermanent ? PermanentVipTime : account->vipUntil;
    return Reply::withData(QJsonObject { { QStringLiteral("isvip"), vip ? 1 : 0 },
        { QStringLiteral("issvip"), vip && account->svip },
        { QStringLiteral("viptime"), double(viptime) } });
}

Service::Reply Service::logout(Context &context)
{
    m_store.setSessionAccount(context.session, 0);
    return Reply();
}

namespace {

std::optional<QString> passwordProblem(const QString &password, const QString &repeated)
{
    if (password != repeated)
        return QStringLiteral("两次输入的密码不一致");
    if (password.size() < MinPasswordLength || password.size() > MaxPasswordLength)
        return QStringLiteral("密码长度应为%1到%2位").arg(MinPasswordLength).arg(MaxPasswordLength);
    return std::nullopt;
}

} // namespace

Service::Reply Service::registerAccount(Context &context)
{
    const QString code = context.value("f[code]");
    const QString email = context.value("f[username]").trimmed();
    const QString password = context.value("f[password]");
    if (code.isEmpty() || email.isEmpty() || password.isEmpty())
        return Reply::refuse(QStringLiteral("请填写完整的注册信息"));
    if (!isEmailAddress(email))
        return Reply::refuse(QStringLiteral("邮箱格式不正确"));
    if (const auto problem = passwordProblem(password, context.value("f[repassword]")))
        return Reply::refuse(*problem);
    switch (m_store.checkCaptcha(context.session, code, m_options.captchaLifetime)) {
    case Store::CaptchaCheck::Missing:
        return Reply::refuse(QStringLiteral("验证码已失效，请刷新验证码"));
    case Store::CaptchaCheck::Wrong:
        return Reply::refuse(QStringLiteral("验证码错误"));
    case Store::CaptchaCheck::Match:
        break;
    }
    if (!m_store.createAccount(email, hashPassword(password)))
        return Reply::refuse(QStringLiteral("该邮箱已被注册"));
    m_store.dropCaptcha(context.session);
    return Reply();
}

Service::Reply Service::forgetPassword(Context &context)
{
    const QString email = context.value("f[username]").trimmed();
    if (!isEmailAddress(email))
        return Reply::refuse(QStringLiteral("邮箱格式不正确"));
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (!m_retrievalByAddress.take(viewerAddress(context), now))
        return Reply::refuse(QStringLiteral("找回密码过于频繁，请稍后再试"));
    const std::optional<Account> account = m_store.accountByEmail(email);
    if (!account)
        return Reply::refuse(QStringLiteral("该邮箱尚未注册"));
    if (!m_retrievalByAccount.take(account->email.toLower().toStdString(), now))
        return Reply::refuse(QStringLiteral("找回密码过于频繁，请稍后再试"));

    // There is no mail server: the mail is written to the outbox folder. The
    // mailed password is kept beside the current one, which stays valid, so
    // anyone who knows the address cannot lock the owner out; it is stored
    // only once the mail is safely on disk.
    const QString password = randomText(10, QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789"));
    const QString outbox = m_store.absolutePath(QStringLiteral("outbox"));
    if (!QDir(outbox).exists()) {
        QDir().mkpath(outbox);
        QFile::setPermissions(outbox, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString fileName
        = QStringLiteral("%1-%2.eml")
              .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss")),
                  randomHex(4));
    const QString path = QDir(outbox).filePath(fileName);
    const QString text = QStringLiteral("To: %1\r\nSubject: Tavrion影音 密码找回\r\n"
                                        "Content-Type: text/plain; charset=utf-8\r\n\r\n"
                                        "您的新密码是：%2\r\n请登录后尽快修改密码。\r\n"
                                        "用新密码登录之前，原密码仍然有效；"
                                        "用原密码登录后，此新密码即失效。\r\n")
                             .arg(account->email, password);
    QString error;
    if (!saveFileAtomically(path, text.toUtf8(), &error, QFile::ReadOwner | QFile::WriteOwner)) {
        fprintf(
            stderr, "tavrion-server: cannot write %s: %s\n", qPrintable(path), qPrintable(error));
        return Reply::refuse(QStringLiteral("邮件发送失败，请稍后再试"));
    }
    try {
        m_store.setPendingPassword(account->id, hashPassword(password));
    } catch (const DatabaseError &) {
        // A mail naming a password that was never set must not stay behind.
        QFile::remove(path);
        throw;
    }
    return Reply();
}

Service::Reply Service::modifyPassword(Context &context)
{
    if (context.accountId() == 0)
        return Reply::refuse(QStringLiteral("请先登录"));
    const QString oldPassword = context.value("f[password]");
    const QString newPassword = context.value("f[newpassword]");
    if (oldPassword.isEmpty() || newPassword.isEmpty())
        return Reply::refuse(QStringLiteral("请填写完整的密码信息"));
    if (const auto problem = passwordProblem(newPassword, context.value("f[repassword]")))
        return Reply::refuse(*problem);
    const std::optional<Account> account = m_store.accountById(context.accountId());
    if (!account
        || matchPassword(*account, m_store.pendingPassword(account->id), oldPassword)
            == PasswordMatch::None)
        return Reply::refuse(QStringLiteral("原密码错误"));
    m_store.setPassword(account->id, hashPassword(newPassword));
    return Reply();
}

Service::Reply Service::captchaImage(Context &context)
{
    if (!m_captchasByAddress.take(viewerAddress(context), currentTime()))
        return Reply::refuse(QStringLiteral("验证码请求过于频繁，请稍后再试"));
    const QString code = m_options.captchaText.isEmpty()
        ? randomText(4, CaptchaRenderer::alphabet())
        : m_options.captchaText;
    m_store.setCaptcha(context.session, code);
    Reply reply;
    reply.body = m_captcha.render(code);
    reply.contentType = "image/png";
    return reply;
}

void Service::handleNoticePicture(const HttpRequest &request, HttpResponse &response)
{
    const QString name = QString::fromStdString(request.capture);
    static const QRegularExpression safeName(
        QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}$"));
    QFile file(m_store.absolutePath(QStringLiteral("notices/") + name));
    if (!safeName.match(name).hasMatch() || name.contains(QLatin1String(".."))
        || !file.open(QIODevice::ReadOnly)) {
        response.status = 404;
        return;
    }
    const QString lower = name.toLower();
    const char *type = lower.endsWith(QLatin1String(".png")) ? "image/png"
        : lower.endsWith(QLatin1String(".gif"))              ? "image/gif"
                                                             : "image/jpeg";
    response.setContent(file.readAll().toStdString(), type);
}

std::string serviceErrorBody(int status)
{
    return Service::refusal(refusalForStatus(status));
}
