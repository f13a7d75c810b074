#include "resource/bencodereader.h"
#include "testdir.h"
#include "torrentmaker.h"

#include <QAssociativeIterable>
#include <QCryptographicHash>
#include <QtTest>

#include <climits>

class TestBencodeReader : public QObject
{
    Q_OBJECT

private slots:
    void emptyData();
    void parse_data();
    void parse();
    void integers_data();
    void integers();
    void valuesAndNesting();
    void infoSpan_data();
    void infoSpan();
    void deepNesting();
    void dictionaryIsIterableInAVariant();
    void infoHashMatchesLibtorrent_data();
    void infoHashMatchesLibtorrent();
    void infoHashOfUnreadableFiles();
};

void TestBencodeReader::emptyData()
{
    BencodeReader reader;
    QVERIFY(!reader.parse(QByteArray()));
    QCOMPARE(reader.errorString(), QStringLiteral("No content"));
    QVERIFY(reader.infoBytes().isEmpty());
}

// Whether a whole text decodes, the last error text, and the keys it yields.
void TestBencodeReader::parse_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("keys");

    const QStringList none;
    QTest::newRow("empty dictionary") << QByteArray("de") << true << QString() << none;
    QTest::newRow("trailing bytes ignored")
        << QByteArray("d1:ai1ee garbage") << true << QString() << QStringList { "a" };
    QTest::newRow("not a dictionary") << QByteArray("i1e") << false << QString() << none;
    QTest::newRow("list at top") << QByteArray("le") << false << QString() << none;
    QTest::newRow("no closing e after a complete value")
        << QByteArray("d1:ai1e1:b2:xy") << true << QString() << QStringList { "a", "b" };
    QTest::newRow("non-string key ends the dictionary")
        << QByteArray("di1ei2ee") << true << QString() << none;
    QTest::newRow("key without colon")
        << QByteArray("d4spam") << true << QStringLiteral("Unexpected character at pos 2: s")
        << none;
    QTest::newRow("value without colon")
        << QByteArray("d1:a4spame") << false << QStringLiteral("error at index 5") << none;
    QTest::newRow("integer with a stray byte")
        << QByteArray("d1:ai12xe") << false << QStringLiteral("error at index 7") << none;
    // A failed reader does not rewind: the list reader picks up at the 'l'.
    QTest::newRow("failed integer, list read from where it stopped")
        << QByteArray("d1:ai12lee") << true << QStringLiteral("Unexpected character at pos 7: l")
        << QStringList { "a" };
    QTest::newRow("high byte is no digit")
        << QByteArray("d1:a\xff") << false << QStringLiteral("error at index 4") << none;

    // Data cut off inside an element.
    QTest::newRow("lone d") << QByteArray("d") << false
                            << QStringLiteral("Unexpected end of data at pos 1") << none;
    QTest::newRow("key cut off") << QByteArray("d3:ab") << false
                                 << QStringLiteral("Unexpected end of data at pos 5") << none;
    QTest::newRow("key length without colon")
        << QByteArray("d12") << false << QStringLiteral("Unexpected end of data at pos 3") << none;
    QTest::newRow("key without value")
        << QByteArray("d1:a") << false << QStringLiteral("error at index 4") << none;
    QTest::newRow("string value cut off")
        << QByteArray("d1:a5:ab") << false << QStringLiteral("error at index 8") << none;
    QTest::newRow("length beyond 32 bits")
        << QByteArray("d1:a99999999999:x") << false << QStringLiteral("error at index 17") << none;
    QTest::newRow("length one past the data")
        << QByteArray("d1:a2:x") << false << QStringLiteral("error at index 7") << none;
    QTest::newRow("length exactly to the end")
        << QByteArray("d1:a2:xy") << true << QString() << QStringList { "a" };
    QTest::newRow("integer digits to the end")
        << QByteArray("d1:ai12") << true << QString() << QStringList { "a" };
    QTest::newRow("integer without digits at the end")
        << QByteArray("d1:ai-") << false << QStringLiteral("error at index 6") << none;
    QTest::newRow("open list at the end")
        << QByteArray("d1:al") << false << QStringLiteral("error at index 5") << none;
    QTest::newRow("list ends with the data after an element")
        << QByteArray("d1:ali1e") << true << QString() << QStringList { "a" };
}

void TestBencodeReader::parse()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(QStringList, keys);

    BencodeReader reader;
    QCOMPARE(reader.parse(data), ok);
    QCOMPARE(reader.errorString(), error);
    if (ok) {
        QStringList actual;
        for (const QByteArray &key : reader.dictionary().keys())
            actual << QString::fromLatin1(key);
        QCOMPARE(actual, keys);
    }
}

void TestBencodeReader::integers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<QString>("error");

    QTest::newRow("zero") << QByteArray("i0e") << true << 0LL << QString();
    QTest::newRow("minus zero") << QByteArray("i-0e") << true << 0LL << QString();
    QTest::newRow("leading zeros") << QByteArray("i007e") << true << 7LL << QString();
    QTest::newRow("negative") << QByteArray("i-42e") << true << -42LL << QString();
    QTest::newRow("smallest") << QByteArray("i-9223372036854775808e") << true << LLONG_MIN
                              << QString();
    QTest::newRow("wraps without a check")
        << QByteArray("i9223372036854775808e") << true << LLONG_MIN << QString();
    // The integer starts at position 4 of "d1:a" + text.
    QTest::newRow("minus alone") << QByteArray("i-e") << false << 0LL
                                 << QStringLiteral("error at index 6");
    QTest::newRow("two minus") << QByteArray("i--1e") << false << 0LL
                               << QStringLiteral("error at index 6");
    QTest::newRow("no digits") << QByteArray("ie") << false << 0LL
                               << QStringLiteral("error at index 5");
    QTest::newRow("minus after digits")
        << QByteArray("i1-e") << false << 0LL << QStringLiteral("error at index 6");
}

void TestBencodeReader::integers()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(qlonglong, value);
    QFETCH(QString, error);

    BencodeReader reader;
    QCOMPARE(reader.parse("d1:a" + text + "e"), ok);
    QCOMPARE(reader.errorString(), error);
    if (ok) {
        const QVariant read = reader.dictionary().value("a");
        QCOMPARE(read.userType(), int(QMetaType::LongLong));
        QCOMPARE(read.toLongLong(), value);
    }
}

void TestBencodeReader::valuesAndNesting()
{
    BencodeReader reader;
    QVERIFY(reader.parse("d4:listli1e4:spamli2eed1:xi3eee1:s4:spam1:si9e4:dictd1:kde1:j0:ee"));
    const BencodeDictionary top = reader.dictionary();
    QCOMPARE(top.value("s").toLongLong(), 9LL); // the later of two equal keys

    const QVariantList list = top.value("list").toList();
    QCOMPARE(list.size(), 4);
    QCOMPARE(list.at(0).toLongLong(), 1LL);
    QCOMPARE(list.at(1).toByteArray(), QByteArray("spam"));
    QCOMPARE(list.at(2).toList().size(), 1);
    QCOMPARE(list.at(3).value<BencodeDictionary>().value("x").toLongLong(), 3LL);

    const BencodeDictionary dict = top.value("dict").value<BencodeDictionary>();
    QCOMPARE(dict.keys(), (QList<QByteArray> { "j", "k" }));
    QVERIFY(dict.value("k").value<BencodeDictionary>().isEmpty());
    QCOMPARE(dict.value("j").toByteArray(), QByteArray());

    QVERIFY(reader.parse(QByteArray("d3:bin3:\x00\xff:e", 12)));
    QCOMPARE(reader.dictionary().value("bin").toByteArray(), QByteArray("\x00\xff:", 3));
}

void TestBencodeReader::infoSpan_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("info");

    QTest::newRow("top-level info")
        << QByteArray("d1:ai1e4:infod1:zi1e1:ai2ee1:bi3ee") << QByteArray("d1:zi1e1:ai2ee");
    QTest::newRow("no info") << QByteArray("d1:ai1ee") << QByteArray();
    QTest::newRow("info that is a string") << QByteArray("d4:info3:abce") << QByteArray("3:abc");
    QTest::newRow("second info wins")
        << QByteArray("d4:infoi1e4:infod1:ai2eee") << QByteArray("d1:ai2ee");
    // The inner key moves the start; the outer value's end sets the length.
    QTest::newRow("nested info") << QByteArray("d4:infod4:infod1:ai1ee1:bi2eee")
                                 << QByteArray("d1:ai1ee1:bi2ee");
    QTest::newRow("info in a later dictionary")
        << QByteArray("d4:infod1:ai1ee1:bd4:infoi5eee") << QByteArray("i5e");
}

void TestBencodeReader::infoSpan()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, info);

    BencodeReader reader;
    QVERIFY(reader.parse(data));
    QCOMPARE(reader.infoBytes(), info);
}

void TestBencodeReader::deepNesting()
{
    BencodeReader shallow;
    QVERIFY(shallow.parse("d1:a" + QByteArray(200, 'l') + QByteArray(200, 'e') + "e"));

    // Deep enough to overflow the stack of a plain recursive reader.
    BencodeReader deep;
    QVERIFY(!deep.parse("d1:a" + QByteArray(1000000, 'l')));
    QVERIFY(!deep.parse(QByteArray("d1:a").repeated(250000)));
}

void TestBencodeReader::dictionaryIsIterableInAVariant()
{
    BencodeReader reader;
    QVERIFY(reader.parse("d1:dd1:xi1e1:yi2eee"));
    const QVariant nested = reader.dictionary().value("d");
    QCOMPARE(QMetaType::typeName(nested.userType()), "QMap<QByteArray,QVariant>");
    QCOMPARE(QMetaType::type("Dictionary"), nested.userType());
    QVERIFY(nested.canConvert<QVariantMap>());
    const QAssociativeIterable iterable = nested.value<QAssociativeIterable>();
    QStringList pairs;
    for (auto it = iterable.begin(); it != iterable.end(); ++it)
        pairs << QString::fromLatin1(it.key().toByteArray()) + QLatin1Char('=')
                + QString::number(it.value().toLongLong());
    QCOMPARE(pairs, (QStringList { "x=1", "y=2" }));
}

using FileList = std::vector<std::pair<std::string, std::int64_t>>;
Q_DECLARE_METATYPE(FileList)

void TestBencodeReader::infoHashMatchesLibtorrent_data()
{
    QTest::addColumn<FileList>("files");
    QTest::addColumn<int>("pieceSize");

    QTest::newRow("single file") << FileList { { "movie.mkv", 734003200 } } << 1048576;
    QTest::newRow("tiny single file") << FileList { { "a.txt", 1 } } << 16384;
    QTest::newRow("several files") << FileList { { "Season 1/01.mp4", 350000000 },
        { "Season 1/02.mp4", 351234567 }, { "字幕/01.ass", 40960 }, { "readme.txt", 0 } }
                                   << 262144;
}

void TestBencodeReader::infoHashMatchesLibtorrent()
{
    QFETCH(FileList, files);
    QFETCH(int, pieceSize);

    const MadeTorrent torrent = makeTorrent(files, pieceSize);
    QCOMPARE(torrent.infoHash.size(), size_t(40));
    ScopedWorkingDirectory dir;
    QVERIFY(writeFileBytes(dir.filePath("made.torrent"), QByteArray::fromStdString(torrent.data)));
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("made.torrent")),
        QString::fromStdString(torrent.infoHash));
}

void TestBencodeReader::infoHashOfUnreadableFiles()
{
    ScopedWorkingDirectory dir;
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("missing.torrent")), QString());
    QVERIFY(QDir(dir.path()).mkdir("folder.torrent"));
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("folder.torrent")), QString());
    QVERIFY(writeFileBytes(dir.filePath("empty.torrent"), QByteArray()));
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("empty.torrent")), QString());
    QVERIFY(writeFileBytes(dir.filePath("text.torrent"), "hello"));
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("text.torrent")), QString());

    // Keys inside info in an order no encoder writes: hashed as they stand,
    // as libtorrent does.
    const QByteArray unsorted = "d8:announce5:x.org4:infod6:pieces20:" + QByteArray(20, '\x01')
        + "4:name1:a12:piece lengthi16384e6:lengthi5eee";
    QVERIFY(writeFileBytes(dir.filePath("unsorted.torrent"), unsorted));
    const QString hash = infoHashOfTorrentFile(dir.filePath("unsorted.torrent"));
    QCOMPARE(hash, QString::fromStdString(libtorrentInfoHash(unsorted.toStdString())));

    // No info at all still yields a hash: that of zero bytes.
    QVERIFY(writeFileBytes(dir.filePath("noinfo.torrent"), "d1:ai1ee"));
    QCOMPARE(infoHashOfTorrentFile(dir.filePath("noinfo.torrent")),
        QString::fromLatin1(QCryptographicHash::hash("", QCryptographicHash::Sha1).toHex()));
}

QTEST_GUILESS_MAIN(TestBencodeReader)
#include "tst_bencodereader.moc"
