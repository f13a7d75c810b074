#include "preferences/subtitlecharset.h"

#include <QFile>
#include <QTextCodec>

namespace {

// Enough text for a clear decision; files are often large but the character
// set does not change half way through.
constexpr qint64 SampleBytes = 64 * 1024;

bool hasByteOrderMark(const QByteArray &head)
{
    return head.startsWith("\xEF\xBB\xBF") || head.startsWith("\xFF\xFE")
        || head.startsWith("\xFE\xFF");
}

bool isUtf8(const QByteArray &head)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(head.constData(), head.size(), &state);
    // A sample cut in the middle of a character leaves it pending, not invalid.
    return state.invalidChars == 0;
}

struct PairCounts
{
    int pairs = 0; // double-byte characters in the sample
    int gbCommon = 0; // pairs in GB2312's level 1: the 3755 common hanzi
    int big5Common = 0; // pairs in Big5's level 1: the 5401 common hanzi
    int kana = 0; // pairs that are kana in GB2312 (rows 4 and 5)
    int lowTrail = 0; // pairs whose second byte is below 0x80 (never in EUC sets)
};

PairCounts countPairs(const QByteArray &head)
{
    PairCounts counts;
    const auto *bytes = reinterpret_cast<const unsigned char *>(head.constData());
    const int size = head.size();
    for (int i = 0; i < size;) {
        const unsigned lead = bytes[i];
        if (lead < 0x80 || i + 1 >= size) {
            ++i;
            continue;
        }
        const unsigned trail = bytes[i + 1];
        // GB18030's four-byte form: a digit in the second byte.
        if (trail >= 0x30 && trail <= 0x39) {
            i += 4;
            continue;
        }
        ++counts.pairs;
        const bool highTrail = trail >= 0xA1 && trail <= 0xFE;
        if (trail < 0x80)
            ++counts.lowTrail;
        if (lead >= 0xB0 && lead <= 0xD7 && highTrail && !(lead == 0xD7 && trail > 0xF9))
            ++counts.gbCommon;
        const unsigned code = (lead << 8) | trail;
        if (code >= 0xA440 && code <= 0xC67E && (highTrail || (trail >= 0x40 && trail <= 0x7E)))
            ++counts.big5Common;
        if ((lead == 0xA4 || lead == 0xA5) && highTrail)
            ++counts.kana;
        i += 2;
    }
    return counts;
}

} // namespace

namespace SubtitleCharset {

QByteArray codepageOf(const QByteArray &head)
{
    const QByteArray automatic("auto");
    if (head.isEmpty() || hasByteOrderMark(head) || isUtf8(head))
        return automatic;
    const PairCounts counts = countPairs(head);
    if (counts.pairs == 0)
        return automatic;
    // Chinese text is mostly common hanzi in its own set, and only partly
    // in the other one. Korean hangul sits in both sets' common range
    // alike, so it never wins by a clear margin and stays with the engine.
    const int gb = counts.gbCommon;
    const int big5 = counts.big5Common;
    // Japanese in EUC-JP puts kana where GB2312 has them: left to the engine.
    if (gb * 2 >= counts.pairs && gb * 3 > big5 * 4)
        return counts.kana * 10 > counts.pairs ? automatic : QByteArrayLiteral("GB18030");
    // Big5 puts about a third of its common hanzi on second bytes below
    // 0x80; a longer text without any is in an EUC set such as EUC-JP.
    if (big5 * 2 >= counts.pairs && big5 * 3 > gb * 4)
        return counts.pairs >= 8 && counts.lowTrail == 0 ? automatic : QByteArrayLiteral("BIG5");
    return automatic;
}

QByteArray codepageOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("auto");
    return codepageOf(file.read(SampleBytes));
}

} // namespace SubtitleCharset
