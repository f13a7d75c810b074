#pragma once

#include <QString>

// The HTML pages the client opens in the browser, keyed by their route:
// "www" (home), "www/default/page" with p = "jiaocheng" (tutorial) or
// "mianze" (declaration), "www/user/login" (account and recharge).
// Empty text when the route names no page.
QString pageHtml(const QString &route, const QString &page);
