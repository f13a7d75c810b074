#pragma once

#include "app/appsettings.h"
#include "app/startup.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"
#include "scriptedengine.h"
#include "serviceenvironment.h"

#include <QImage>
#include <QPushButton>
#include <QUrlQuery>
#include <QtTest>

// A PNG picture of one colour; the default size is the popup notice's.
inline QByteArray png(const QColor &colour, const QSize &size = QSize(711, 404))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return pngBytes(image);
}

// A stand-in web service that answers each route ("www/user/login") with the
// answer the test set for it, and records the routes it was asked for.
// Unset routes get a refusal.
class AccountService : public ServiceEnvironment
{
public:
    AccountService()
    {
        server.setHandler([this](const TestHttpRequest &request) {
            const QByteArray form = request.method == "POST" ? request.body : request.query();
            QUrlQuery query(QString::fromLatin1(form));
            QString route = query.queryItemValue(QStringLiteral("r"), QUrl::FullyDecoded);
            if (request.path() != "/server/")
                route = QString::fromLatin1(request.path());
            else if (route == QLatin1String("www/default/pc"))
                route += QLatin1Char('/') + query.queryItemValue(QStringLiteral("cfg"));
            routes.append(route);
            return answers.value(route, TestHttpAnswer::json("{\"statu\":0,\"msg\":\"未知\"}"));
        });
    }

    void answer(const QString &route, const QByteArray &json)
    {
        answers.insert(route, TestHttpAnswer::json(json));
    }
    int count(const QString &route) const { return routes.count(route); }

    QHash<QString, TestHttpAnswer> answers;
    QStringList routes;
};
