#pragma once

#include "app/appsettings.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "player/aplayercontrol.h"
#include "scriptedengine.h"
#include "testdir.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrlQuery>
#include <QtTest>

#include <functional>
#include <memory>

// A stand-in web service that answers each route ("www/user/login") with the
// answer the test set for it, and records the routes it was asked for.
// Unset routes get a refusal.
class AccountService
{
public:
    AccountService()
    {
        AppSettings::initialize(QStringLiteral("Config.ini"));
        if (!server.start())
            qFatal("test HTTP server did not start");
        AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
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
    ~AccountService() { AppSettings::release(); }

    void answer(const QString &route, const QByteArray &json)
    {
        answers.insert(route, TestHttpAnswer::json(json));
    }
    int count(const QString &route) const { return routes.count(route); }

    ScopedWorkingDirectory dir;
    TestHttpServer server;
    QHash<QString, TestHttpAnswer> answers;
    QStringList routes;
};

// Answers every message box that opens with its only button and records
// it as "title|text".
class MessageBoxRecorder : public QObject
{
public:
    QStringList boxes;
    QList<Qt::TextFormat> formats;

    MessageBoxRecorder()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            boxes.append(box->windowTitle() + QLatin1Char('|') + box->text());
            formats.append(box->textFormat());
            if (box->buttons().size() == 1)
                box->buttons().first()->click();
        });
        m_poll.start(5);
    }

private:
    QTimer m_poll;
};

// Hands the first modal dialog of class T that opens to `act`, once.
template <class T> class WhenModal : public QObject
{
public:
    explicit WhenModal(std::function<void(T *)> act)
    {
        connect(&m_poll, &QTimer::timeout, this, [this, act] {
            if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
                m_poll.stop();
                act(dialog);
            }
        });
        m_poll.start(5);
    }

private:
    QTimer m_poll;
};

// Makes the main window run on a scripted engine.
inline void useScriptedEngine()
{
    APlayerControl::setEngineFactory(
        [] { return std::unique_ptr<PlayerEngine>(std::make_unique<ScriptedEngine>()); });
}

// Takes the addresses handed to the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};
