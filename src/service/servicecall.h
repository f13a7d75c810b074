#pragma once

#include "service/replyvalues.h"
#include "service/serverclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

// The frame every JSON endpoint shares: send the parameter list, read "statu",
// hand the envelope to readPayload on success or keep "msg" on refusal, and
// turn a transfer failure into status -1 with the request core's message.
enum class ServiceMethod { Get, Post };
enum class ServiceMessage { Read, Ignore };

inline ServerReply sendServiceRequest(
    ServiceMethod method, const QStringList &parameters, bool sign)
{
    ServerClient *client = ServerClient::instance();
    return method == ServiceMethod::Get ? client->get(parameters, sign)
                                        : client->post(parameters, sign);
}

template <typename Result, typename ReadPayload>
void readServiceEnvelope(
    Result &result, const QVariantMap &envelope, ServiceMessage message, ReadPayload readPayload)
{
    result.status = replyInt(envelope.value(QStringLiteral("statu")));
    if (result.status == 1)
        readPayload(envelope);
    else if (message == ServiceMessage::Read)
        result.message = replyText(envelope.value(QStringLiteral("msg")));
}

template <typename Result, typename ReadPayload>
void runServiceCall(Result &result, ServiceMethod method, const QStringList &parameters, bool sign,
    ServiceMessage message, ReadPayload readPayload)
{
    try {
        const ServerReply reply = sendServiceRequest(method, parameters, sign);
        readServiceEnvelope(result, parseReplyEnvelope(reply), message, readPayload);
    } catch (const ServerRequestError &error) {
        result.status = -1;
        result.message = error.message();
    }
}

// The frame's reading half, for a reply sent without waiting (startGet):
// an unfinished or failed transfer is status -1 with the core's message.
template <typename Result, typename ReadPayload>
void readServiceReply(
    Result &result, const ServerReply &reply, ServiceMessage message, ReadPayload readPayload)
{
    if (!reply || !reply->isFinished() || reply->error() != QNetworkReply::NoError) {
        result.status = -1;
        result.message = ServerRequestError().message();
        return;
    }
    readServiceEnvelope(result, parseReplyEnvelope(reply), message, readPayload);
}

// The same frame for a reply large enough to stall the window while it is
// read (a resource's file list of many thousand entries): the body is
// decoded and read on a worker thread while the caller waits in a local
// event loop. readPayload gets the envelope as a JSON object, read without
// a conversion of the whole tree; it runs on the worker, so it may fill the
// result only.
template <typename Result, typename ReadPayload>
void runServiceCallReadAside(Result &result, ServiceMethod method, const QStringList &parameters,
    bool sign, ServiceMessage message, ReadPayload readPayload)
{
    QByteArray body;
    try {
        body = sendServiceRequest(method, parameters, sign)->readAll();
    } catch (const ServerRequestError &error) {
        result.status = -1;
        result.message = error.message();
        return;
    }
    runOnWorkerThread([&] {
        // Not an object: an empty envelope, status 0.
        const QJsonObject envelope = QJsonDocument::fromJson(body).object();
        result.status = replyInt(envelope.value(QStringLiteral("statu")).toVariant());
        if (result.status == 1)
            readPayload(envelope);
        else if (message == ServiceMessage::Read)
            result.message = replyText(envelope.value(QStringLiteral("msg")).toVariant());
    });
}

inline void noPayload(const QVariantMap &) { }
