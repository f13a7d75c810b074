// libFuzzer target for the checks of what a request carries: the play code
// of a video path and the cookies of a Cookie header. The input is used as a
// path and as a header. A code taken from a path is letters and digits only,
// a session id is 32 lowercase hex digits, and a header that carries a
// cookie still carries it among other cookies.
#include "requestchecks.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    std::string code;
    if (videoCodeOfPath(text, &code)) {
        if (code.empty() || text != "/ftn_handler/" + code)
            std::abort();
        for (const char c : code) {
            if (!std::isalnum(static_cast<unsigned char>(c)))
                std::abort();
        }
    }

    const QString session = sessionIdOfCookie(text);
    if (!session.isEmpty()) {
        if (session.size() != 32)
            std::abort();
        for (const QChar c : session) {
            if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                    || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
                std::abort();
        }
    }

    // The first pair of the header, as the expected cookie.
    const std::string first = text.substr(0, text.find(';'));
    const QString expected = QString::fromLatin1(first.data(), int(first.size()));
    const bool carried = carriesCookie(text, expected);
    if (!expected.isEmpty() && carried != carriesCookie("other=1; " + text + "; last=2", expected))
        std::abort();
    return 0;
}
