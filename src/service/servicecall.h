#pragma once

#include "service/replyvalues.h"
#include "service/serverclient.h"

#include <QNetworkReply>

// The frame every JSON endpoint shares: send the parameter list, read "statu",
// hand the envelope to readPayload on success or keep "msg" on refusal, and
// turn a transfer failure into status -1 with the request core's message.
enum class ServiceMethod { Get, Post };
enum class ServiceMessage { Read, Ignore };

template <typename Result, typename ReadPayload>
void runServiceCall(Result &result, ServiceMethod method, const QStringList &parameters, bool sign,
    ServiceMessage message, ReadPayload readPayload)
{
    try {
        ServerClient *client = ServerClient::instance();
        const ServerReply reply = method == ServiceMethod::Get ? client->get(parameters, sign)
                                                               : client->post(parameters, sign);
        const QVariantMap envelope = parseReplyEnvelope(reply);
        result.status = replyInt(envelope.value(QStringLiteral("statu")));
        if (result.status == 1)
            readPayload(envelope);
        else if (message == ServiceMessage::Read)
            result.message = replyText(envelope.value(QStringLiteral("msg")));
    } catch (const ServerRequestError &error) {
        result.status = -1;
        result.message = error.message();
    }
}

inline void noPayload(const QVariantMap &) { }
