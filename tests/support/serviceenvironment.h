#pragma once

#include "app/appsettings.h"
#include "testdir.h"
#include "testhttpserver.h"

#include <QtTest>

// A temporary working directory with a settings store whose service base
// address points at a fresh test HTTP server.
class ServiceEnvironment
{
public:
    ServiceEnvironment()
    {
        AppSettings::initialize(QStringLiteral("Config.ini"));
        if (!server.start())
            qFatal("test HTTP server did not start");
        AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    }
    ~ServiceEnvironment() { AppSettings::release(); }

    ScopedWorkingDirectory dir;
    TestHttpServer server;
};

// The elements of a query or form body, still encoded.
inline QList<QByteArray> wireElements(const QByteArray &encoded)
{
    return encoded.split('&');
}
