#include "library/playrecordstore.h"
#include "testdir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestPlayRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void fileLayout();
    void replayMovesToTop();
    void fullStoreDropsOldest_data();
    void fullStoreDropsOldest();
    void duplicatesInFile();
    void unreadableFilesReadEmpty_data();
    void unreadableFilesReadEmpty();
    void unwritableFileIsLeftAlone();

private:
    static QJsonArray fileArray();
    static QByteArray recordsJson(int count);
};

QJsonArray TestPlayRecordStore::fileArray()
{
    return QJsonDocument::fromJson(readFileBytes(QStringLiteral("PlayRecord.dat"))).array();
}

// count records "h<i>"/i written by some other program, newest first.
QByteArray TestPlayRecordStore::recordsJson(int count)
{
    QJsonArray array;
    for (int i = 0; i < count; ++i)
        array.append(QJsonObject { { "resource_hash", QStringLiteral("h%1").arg(i) },
            { "resource_index", i }, { "file_hash", QStringLiteral("j%1").arg(i) },
            { "file_name", QStringLiteral("n%1").arg(i) } });
    return QJsonDocument(array).toJson();
}

void TestPlayRecordStore::fileLayout()
{
    ScopedWorkingDirectory dir;
    PlayRecordStore::addPlay("AbC123", 4294967295u, "jx", "第一集.mp4");
    QCOMPARE(readFileBytes("PlayRecord.dat"),
        QByteArray("[\n"
                   "    {\n"
                   "        \"file_hash\": \"jx\",\n"
                   "        \"file_name\": \"第一集.mp4\",\n"
                   "        \"resource_hash\": \"AbC123\",\n"
                   "        \"resource_index\": 4294967295\n"
                   "    }\n"
                   "]\n"));

    PlayRecordStore::load();
    QCOMPARE(PlayRecordStore::size(), 1);
    QCOMPARE(PlayRecordStore::indexOf("AbC123", 4294967295u), 0);
    QCOMPARE(PlayRecordStore::indexOf("abc123", 4294967295u), -1);
    QCOMPARE(PlayRecordStore::indexOf("AbC123", 0), -1);

    PlayRecordStore::removeAt(5);
    PlayRecordStore::removeAt(-1);
    PlayRecordStore::removeAt(0);
    PlayRecordStore::save();
    QCOMPARE(readFileBytes("PlayRecord.dat"), QByteArray("[\n]\n"));
}

void TestPlayRecordStore::replayMovesToTop()
{
    ScopedWorkingDirectory dir;
    PlayRecordStore::addPlay("a", 0, "j1", "first");
    PlayRecordStore::addPlay("a", 1, "j2", "other file of a");
    PlayRecordStore::addPlay("b", 0, "j3", "b");
    PlayRecordStore::addPlay("a", 0, "j4", "renamed");

    const QJsonArray array = fileArray();
    QCOMPARE(array.size(), 3);
    QCOMPARE(array.at(0).toObject().value("resource_hash").toString(), QStringLiteral("a"));
    QCOMPARE(array.at(0).toObject().value("resource_index").toInt(), 0);
    QCOMPARE(array.at(0).toObject().value("file_hash").toString(), QStringLiteral("j4"));
    QCOMPARE(array.at(0).toObject().value("file_name").toString(), QStringLiteral("renamed"));
    QCOMPARE(array.at(1).toObject().value("resource_hash").toString(), QStringLiteral("b"));
    QCOMPARE(array.at(2).toObject().value("resource_index").toInt(), 1);
}

void TestPlayRecordStore::fullStoreDropsOldest_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("oldestKept");

    QTest::newRow("99 grows") << 99 << 100 << true;
    QTest::newRow("exactly 100 drops the oldest") << 100 << 100 << false;
    QTest::newRow("more than 100 is not trimmed") << 105 << 106 << true;
}

void TestPlayRecordStore::fullStoreDropsOldest()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(bool, oldestKept);

    ScopedWorkingDirectory dir;
    QVERIFY(writeFileBytes("PlayRecord.dat", recordsJson(before)));
    PlayRecordStore::addPlay("new", 7, "jx", "new");

    const QJsonArray array = fileArray();
    QCOMPARE(array.size(), after);
    QCOMPARE(array.first().toObject().value("resource_hash").toString(), QStringLiteral("new"));
    const QString oldest = QStringLiteral("h%1").arg(before - 1);
    QCOMPARE(array.last().toObject().value("resource_hash").toString() == oldest, oldestKept);

    // A replay of a file already in a full store drops nothing else.
    PlayRecordStore::addPlay("h5", 5, "jx", "again");
    QCOMPARE(fileArray().size(), after);
}

void TestPlayRecordStore::duplicatesInFile()
{
    ScopedWorkingDirectory dir;
    const QJsonObject twin { { "resource_hash", "d" }, { "resource_index", 2 },
        { "file_hash", "old" }, { "file_name", "twin" } };
    const QJsonObject other { { "resource_hash", "e" }, { "resource_index", 2 },
        { "file_hash", "x" }, { "file_name", "x" } };
    QVERIFY(
        writeFileBytes("PlayRecord.dat", QJsonDocument(QJsonArray { twin, other, twin }).toJson()));
    PlayRecordStore::addPlay("d", 2, "new", "twin");

    const QJsonArray array = fileArray();
    QCOMPARE(array.size(), 3);
    QCOMPARE(array.at(0).toObject().value("file_hash").toString(), QStringLiteral("new"));
    QCOMPARE(array.at(1).toObject().value("resource_hash").toString(), QStringLiteral("e"));
    QCOMPARE(array.at(2).toObject().value("file_hash").toString(), QStringLiteral("old"));
}

void TestPlayRecordStore::unreadableFilesReadEmpty_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");

    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("zero length, as after clearing") << QByteArray() << true;
    QTest::newRow("object, not array") << QByteArray("{\"a\": 1}") << true;
    QTest::newRow("malformed") << QByteArray("[{\"resource_hash\": ") << true;
    QTest::newRow("binary") << QByteArray("\x00\xff\x10", 3) << true;
}

void TestPlayRecordStore::unreadableFilesReadEmpty()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);

    ScopedWorkingDirectory dir;
    PlayRecordStore::prepend("left", 1, "over", "from before");
    if (exists)
        QVERIFY(writeFileBytes("PlayRecord.dat", content));
    PlayRecordStore::load();
    QCOMPARE(PlayRecordStore::size(), 0);

    PlayRecordStore::addPlay("x", 1, "j", "n");
    QCOMPARE(fileArray().size(), 1);
}

void TestPlayRecordStore::unwritableFileIsLeftAlone()
{
    ScopedWorkingDirectory dir;
    QVERIFY(QDir().mkdir("PlayRecord.dat"));
    PlayRecordStore::addPlay("x", 1, "j", "n");
    QVERIFY(QFileInfo("PlayRecord.dat").isDir());
    QCOMPARE(PlayRecordStore::size(), 1);
}

QTEST_GUILESS_MAIN(TestPlayRecordStore)
#include "tst_playrecordstore.moc"
