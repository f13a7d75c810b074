// The character set chosen for subtitle files: Chinese double-byte text is
// named, everything else stays with the engine's own guess. And the size
// beyond which a file is not given to the engine at all.

#include "preferences/subtitlecharset.h"
#include "preferences/subtitlelimit.h"

#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

QByteArray encoded(const char *codec, const QString &text)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

QByteArray srt(const char *codec, const QString &line)
{
    return encoded(codec,
        QStringLiteral("1\r\n00:00:00,500 --> 00:00:03,000\r\n") + line
            + QStringLiteral("\r\n\r\n"));
}

} // namespace

class TestSubtitleCharset : public QObject
{
    Q_OBJECT

private slots:
    void codepage_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("codepage");

        const QString simplified = QStringLiteral("第一集：这是一段中文字幕");
        const QString traditional = QStringLiteral("這是繁體中文字幕，歡迎觀看範例劇集");
        QByteArray longGbk;
        QByteArray longBig5;
        for (int i = 0; i < 400; ++i) {
            longGbk += srt("GBK", simplified + QStringLiteral("，我们明天见！"));
            longBig5 += srt("Big5", traditional + QStringLiteral("，我們明天見！"));
        }

        const QByteArray autoGuess("auto");
        QTest::newRow("empty") << QByteArray() << autoGuess;
        QTest::newRow("ascii") << srt("UTF-8", QStringLiteral("Hello")) << autoGuess;
        QTest::newRow("utf-8") << srt("UTF-8", simplified) << autoGuess;
        QTest::newRow("utf-8 with bom")
            << QByteArray("\xEF\xBB\xBF") + srt("UTF-8", simplified) << autoGuess;
        QTest::newRow("utf-16 with bom")
            << encoded("UTF-16LE", QStringLiteral("\xFEFF") + simplified) << autoGuess;
        // A UTF-8 sample cut inside a character is still UTF-8.
        QTest::newRow("utf-8 cut") << srt("UTF-8", simplified).chopped(1) << autoGuess;
        QTest::newRow("gbk four hanzi")
            << srt("GBK", QStringLiteral("中文字幕")) << QByteArray("GB18030");
        QTest::newRow("gbk demo line") << srt("GBK", simplified) << QByteArray("GB18030");
        QTest::newRow("gbk long") << longGbk << QByteArray("GB18030");
        QTest::newRow("gb18030 four-byte")
            << srt("GB18030", simplified + QStringLiteral("𠀀")) << QByteArray("GB18030");
        QTest::newRow("big5 four hanzi")
            << srt("Big5", QStringLiteral("中文字幕")) << QByteArray("BIG5");
        QTest::newRow("big5 line") << srt("Big5", traditional) << QByteArray("BIG5");
        QTest::newRow("big5 long") << longBig5 << QByteArray("BIG5");
        QTest::newRow("korean") << srt("EUC-KR", QStringLiteral("안녕하세요 반갑습니다 자막입니다"))
                                << autoGuess;
        QTest::newRow("japanese shift-jis")
            << srt("Shift-JIS", QStringLiteral("これは日本語の字幕です")) << autoGuess;
        QTest::newRow("japanese euc-jp")
            << srt("EUC-JP", QStringLiteral("これは日本語のテストです")) << autoGuess;
        QTest::newRow("latin-1") << srt("ISO-8859-1", QStringLiteral("Déjà vu, garçon"))
                                 << autoGuess;

        QByteArray noise(64 * 1024, '\0');
        quint32 seed = 7;
        for (char &byte : noise) {
            seed = seed * 1103515245u + 12345u;
            byte = char(seed >> 16);
        }
        QTest::newRow("binary noise") << noise << autoGuess;
    }

    void codepage()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, codepage);
        QCOMPARE(SubtitleCharset::codepageOf(head), codepage);
    }

    void unreadableFileKeepsTheEngineGuess()
    {
        QCOMPARE(SubtitleCharset::codepageOfFile(QStringLiteral("/nonexistent/a.srt")),
            QByteArray("auto"));
    }

    void sizeLimit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("tooLarge");
        const qint64 text = SubtitleLimit::TextBytes;
        const qint64 picture = SubtitleLimit::PictureBytes;
        QTest::newRow("srt at the limit") << "a.srt" << text << false;
        QTest::newRow("srt one byte over") << "a.srt" << text + 1 << true;
        QTest::newRow("ass over") << "a.ASS" << text + 1 << true;
        QTest::newRow("idx is text") << "a.idx" << text + 1 << true;
        QTest::newRow("no suffix is text") << "subtitle" << text + 1 << true;
        QTest::newRow("sup over the text limit") << "a.sup" << text + 1 << false;
        QTest::newRow("vobsub over the text limit") << "a.SUB" << text + 1 << false;
        QTest::newRow("sup at its limit") << "a.sup" << picture << false;
        QTest::newRow("sup over its limit") << "a.sup" << picture + 1 << true;
        QTest::newRow("missing file") << "" << qint64(0) << false;
    }

    // Sparse files: the size is what counts, not the content.
    void sizeLimit()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, tooLarge);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("absent.srt"));
        if (!name.isEmpty()) {
            path = dir.filePath(name);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        }
        QCOMPARE(SubtitleLimit::isTooLarge(path), tooLarge);
    }
};

QTEST_APPLESS_MAIN(TestSubtitleCharset)
#include "tst_subtitlecharset.moc"
