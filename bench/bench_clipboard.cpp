// The clipboard monitor's search on 10 MB texts: the one-pass scan beside
// the two regular expressions it stands for, on the texts that make a
// search work hardest. Prints the median of interleaved runs. The anchor is
// tuned: the patterns are compiled once and JIT-compiled before the first
// timed search.
//
// usage: bench_clipboard [--smoke]   (smoke: 1 MB texts, one round)

#include "benchtools.h"
#include "mainwindow/clipboardwatch.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

int TextSize = 10 * 1024 * 1024;
int Rounds = 7;

QString repeated(const QString &piece, const QString &tail = QString())
{
    QString text;
    text.reserve(TextSize + tail.size());
    while (text.size() + piece.size() <= TextSize)
        text += piece;
    return text + tail;
}

QString regexSearch(const QString &text)
{
    static const QRegularExpression hash(QStringLiteral("[0-9a-fA-F]{40}"));
    static const QRegularExpression appdata(QStringLiteral("appdata_[0-9a-fA-F]{32}"));
    // JIT-compiled from the first use on, not after a number of uses.
    hash.optimize();
    appdata.optimize();
    const QString found = hash.match(text).captured();
    return found.isEmpty() ? appdata.match(text).captured() : found;
}

} // namespace

int main(int argc, char **argv)
{
    if (takeSmokeFlag(argc, argv)) {
        TextSize = 1024 * 1024;
        Rounds = 1;
    }
    QTextStream out(stdout);
    // Compiles the patterns before anything is timed.
    regexSearch(QStringLiteral("warm"));
    const QString hash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    const QList<QPair<QString, QString>> cases = {
        { QStringLiteral("plain text, hash at the end"),
            repeated(QStringLiteral("剪贴板里的普通文字 "), hash) },
        { QStringLiteral("39-digit runs, no match"), repeated(hash.left(39) + QLatin1Char(' ')) },
        { QStringLiteral("appdata_ prefixes, no match"),
            repeated(QStringLiteral("appdata_0123456789abcdef ")) },
    };
    out << "text of " << TextSize / (1024 * 1024) << " MB characters, median of " << Rounds
        << " interleaved rounds (ms)\n";
    for (const auto &entry : cases) {
        QVector<double> scan;
        QVector<double> regex;
        for (int round = 0; round < Rounds; ++round) {
            QElapsedTimer timer;
            timer.start();
            const QString a = ClipboardWatch::resourceIdIn(entry.second);
            scan.append(timer.nsecsElapsed() / 1e6);
            timer.restart();
            const QString b = regexSearch(entry.second);
            regex.append(timer.nsecsElapsed() / 1e6);
            if (a != b) {
                out << "results differ on " << entry.first << "\n";
                return 1;
            }
        }
        const double s = median(scan);
        const double r = median(regex);
        out << entry.first << ": scan " << s << ", regular expressions " << r << ", ratio " << s / r
            << "\n";
        if (!(s > 0 && r > 0)) {
            out << "no time measured\n";
            return 1;
        }
    }
    return 0;
}
