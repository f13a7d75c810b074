#pragma once

#include <QString>

#include <string>
#include <string_view>

// Checks of what a request carries, made on its raw text before anything is
// looked up: the play code of a video path and the cookies of its Cookie
// header.

// The name of the service's session cookie.
inline constexpr char SessionCookieName[] = "TAVSID";

// The code of a video path, "/ftn_handler/<letters and digits>"; false for
// any other path.
bool videoCodeOfPath(const std::string &path, std::string *code);

// True when one of the header's "name=value" pairs, blanks around it aside,
// is `expected`.
bool carriesCookie(std::string_view header, const QString &expected);

// The session id of a Cookie header: the value of its first pair when that
// pair is the session cookie with 32 lowercase hex digits; empty otherwise.
// The client sends back the whole Set-Cookie value, attributes included, so
// only the first pair names the session.
QString sessionIdOfCookie(const std::string &header);
