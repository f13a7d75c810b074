#pragma once

#include "hostnodes.h"
#include "throttle.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

struct HttpRequest;
struct HttpResponse;

class CaptchaRenderer;
class FormParams;
class Store;
class Swarm;
class SwarmRequests;

// The envelope body of an HTTP error status (404, 405, 413, ...).
std::string serviceErrorBody(int status);

struct ServiceOptions
{
    QByteArray signingKey = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";
    std::int64_t codeLifetime = 6 * 3600; // seconds an address code stays valid
    std::int64_t captchaLifetime = 600;
    QString field; // the host named in address replies
    QStringList defaultDomains; // hosts offered when no domain list is configured
    QString captchaText; // not empty: every captcha reads this instead of a random code
    // Reverse proxies whose X-Real-IP header names the viewer (addresses as
    // the connection shows them); every other peer is its own viewer.
    std::vector<std::string> trustedProxies;
};

// The script address "/server/": every request of the client, answered with
// the JSON envelope ("statu", "msg", "data", "datas"), the captcha picture, or
// one of the HTML pages.
class Service
{
public:
    Service(Store &store, const CaptchaRenderer &captcha, ServiceOptions options);

    // The host named in address replies and the hosts offered when no domain
    // list is configured; set once the listeners are bound, before requests.
    void setHosts(const QString &field, const QStringList &defaultDomains);
    // With a swarm, the file list of an info-hash the library does not hold
    // is fetched from BitTorrent peers; set before requests.
    void setSwarm(Swarm *swarm) { m_swarm = swarm; }
    // Without a swarm, swarm nodes fetch and stream such resources; set
    // before requests.
    void setSwarmNodes(SwarmRequests *requests) { m_swarmNodes = requests; }

    void handle(const HttpRequest &request, HttpResponse &response);
    // Serves a popup notice picture from the data folder's "notices/".
    void handleNoticePicture(const HttpRequest &request, HttpResponse &response);

    // An envelope refusal with this message, for replies made outside handle().
    static std::string refusal(const QString &message);

    struct Reply;
    struct Context;

private:
    Reply dispatch(Context &context);
    // True when the request comes from a proxy the operator named.
    bool fromTrustedProxy(const Context &context) const;
    std::string viewerAddress(const Context &context) const;

    Reply fileList(Context &context);
    Reply fileHash(Context &context);
    Reply fileAddress(Context &context);
    Reply config(Context &context, const QString &which);
    Reply favourites(Context &context, const QString &method);
    Reply report(Context &context);
    Reply login(Context &context);
    Reply logout(Context &context);
    Reply registerAccount(Context &context);
    Reply forgetPassword(Context &context);
    Reply modifyPassword(Context &context);
    Reply captchaImage(Context &context);

    Store &m_store;
    HostNodes m_nodes { m_store };
    const CaptchaRenderer &m_captcha;
    ServiceOptions m_options;
    Swarm *m_swarm = nullptr;
    SwarmRequests *m_swarmNodes = nullptr;
    // Login and retrieval counters, shared through the database by every
    // process. Guessing is slowed per account and address (five free
    // failures) and per address (twenty), each further failure doubling the
    // wait from 1 s to 15 min; past fifty failures from anywhere an account
    // waits up to a minute between tries, unless it is tried from an address
    // it logged in from before.
    SharedFailureThrottle m_loginByPair;
    SharedFailureThrottle m_loginByAddress;
    SharedFailureThrottle m_loginByAccount;
    SharedRateLimit m_retrievalByAccount;
    SharedRateLimit m_retrievalByAddress;
    // What a viewer without a login may make the service keep, per address
    // and ten minutes: captcha pictures (each a session and a captcha row),
    // address codes and reports.
    RateLimit m_captchasByAddress { 30, 600 };
    RateLimit m_anonymousCodesByAddress { 100, 600 };
    RateLimit m_anonymousReportsByAddress { 10, 600 };
    // Info-hashes the library does not hold that one address has the swarm
    // nodes look for, per ten minutes.
    RateLimit m_swarmAsksByAddress { 100, 600 };
};
