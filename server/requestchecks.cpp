#include "requestchecks.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>

bool videoCodeOfPath(const std::string &path, std::string *code)
{
    static const std::string prefix = "/ftn_handler/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return false;
    // ASCII letters and digits, looked up rather than compared: every
    // range a player asks for passes here.
    static constexpr auto letterOrDigit = [] {
        std::array<bool, 256> table {};
        for (int c = 0; c < 256; ++c)
            table[std::size_t(c)]
                = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        return table;
    }();
    for (std::size_t i = prefix.size(); i < path.size(); ++i) {
        if (!letterOrDigit[static_cast<unsigned char>(path[i])])
            return false;
    }
    code->assign(path, prefix.size());
    return true;
}

bool carriesCookie(std::string_view header, const QString &expected)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!header.empty()) {
        const std::size_t end = std::min(header.find(';'), header.size());
        std::string_view pair = header.substr(0, end);
        while (!pair.empty() && blank(pair.front()))
            pair.remove_prefix(1);
        while (!pair.empty() && blank(pair.back()))
            pair.remove_suffix(1);
        if (QLatin1String(pair.data(), int(pair.size())) == expected)
            return true;
        header.remove_prefix(std::min(end + 1, header.size()));
    }
    return false;
}

QString sessionIdOfCookie(const std::string &header)
{
    const QString cookie = QString::fromStdString(header);
    const QString first = cookie.section(QLatin1Char(';'), 0, 0).trimmed();
    if (first.section(QLatin1Char('='), 0, 0) != QLatin1String(SessionCookieName))
        return {};
    const QString session = first.section(QLatin1Char('='), 1);
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}$"));
    return pattern.match(session).hasMatch() ? session : QString();
}
