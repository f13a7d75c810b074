#include "resource/videofileinfo.h"
#include "service/replyvalues.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// Each value is read the way endpoint functions meet it: parsed from a JSON
// reply, so the variant types are those the JSON layer produces.
static QVariant jsonValue(const QByteArray &json)
{
    return QJsonDocument::fromJson("{\"v\":" + json + "}").object().toVariantMap().value("v");
}

class TestReplyValues : public QObject
{
    Q_OBJECT

private slots:
    void conversions_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("asInt");
        QTest::addColumn<uint>("asUInt");
        QTest::addColumn<quint64>("asUInt64");
        QTest::addColumn<QString>("asText");

        QTest::newRow("number") << QByteArray("7") << 7 << 7u << quint64(7) << "7";
        QTest::newRow("numeric string") << QByteArray("\"12\"") << 12 << 12u << quint64(12) << "12";
        QTest::newRow("true") << QByteArray("true") << 1 << 0u << quint64(0) << "true";
        QTest::newRow("false") << QByteArray("false") << 0 << 0u << quint64(0) << "false";
        QTest::newRow("negative") << QByteArray("-5") << -5 << 0u << quint64(0) << "-5";
        QTest::newRow("negative string") << QByteArray("\"-1\"") << -1 << 0u << quint64(0) << "-1";
        QTest::newRow("5 000 000 000")
            << QByteArray("5000000000") << 0 << 0u << quint64(5000000000) << "5000000000";
        QTest::newRow("uint max") << QByteArray("4294967295") << 0 << 4294967295u
                                  << quint64(4294967295u) << "4294967295";
        QTest::newRow("uint max + 1")
            << QByteArray("4294967296") << 0 << 0u << quint64(4294967296) << "4294967296";
        QTest::newRow("uint64 max as string")
            << QByteArray("\"18446744073709551615\"") << 0 << 0u << quint64(18446744073709551615u)
            << "18446744073709551615";
        QTest::newRow("beyond uint64 as string") << QByteArray("\"18446744073709551616\"") << 0
                                                 << 0u << quint64(0) << "18446744073709551616";
        QTest::newRow("huge number") << QByteArray("1e300") << 0 << 0u << quint64(0) << "1e+300";
        QTest::newRow("fraction") << QByteArray("2.5") << 0 << 0u << quint64(0) << "2.5";
        QTest::newRow("int min") << QByteArray("-2147483648") << int(-2147483647 - 1) << 0u
                                 << quint64(0) << "-2147483648";
        QTest::newRow("below int min")
            << QByteArray("-2147483649") << 0 << 0u << quint64(0) << "-2147483649";
        QTest::newRow("text") << QByteArray("\"abc\"") << 0 << 0u << quint64(0) << "abc";
        QTest::newRow("empty string") << QByteArray("\"\"") << 0 << 0u << quint64(0) << "";
        QTest::newRow("null") << QByteArray("null") << 0 << 0u << quint64(0) << "";
        QTest::newRow("array") << QByteArray("[1]") << 0 << 0u << quint64(0) << "";
        QTest::newRow("object") << QByteArray("{\"a\":1}") << 0 << 0u << quint64(0) << "";
    }

    void conversions()
    {
        QFETCH(QByteArray, json);
        const QVariant value = jsonValue(json);
        QVERIFY2(value.isValid() || json == "null", json);
        QTEST(replyInt(value), "asInt");
        QTEST(replyUInt(value), "asUInt");
        QTEST(replyUInt64(value), "asUInt64");
        QTEST(replyText(value), "asText");
    }

    void missingValue()
    {
        QCOMPARE(replyInt(QVariant()), 0);
        QCOMPARE(replyUInt64(QVariant()), quint64(0));
        QVERIFY(replyText(QVariant()).isEmpty());
    }

    // A file's record as the replies fill it: a remapped file answers with
    // the remapped resource's hash, index and size.
    void effectiveValuesFollowTheRemapping()
    {
        const auto info = QSharedPointer<VideoFileInfo>::create();
        QVERIFY(!info->remapped);
        QCOMPARE(info->index, 0u);
        QCOMPARE(info->fileSize, quint64(0));
        QVERIFY(info->hash.isEmpty() && info->url.isEmpty());

        info->hash = QStringLiteral("h");
        info->index = 2;
        info->fileSize = 5000000000;
        info->remappedHash = QStringLiteral("r");
        info->remappedIndex = 9;
        info->remappedSize = 7;
        QCOMPARE(info->effectiveHash(), QStringLiteral("h"));
        QCOMPARE(info->effectiveIndex(), 2u);
        QCOMPARE(info->effectiveSize(), quint64(5000000000));

        info->remapped = true;
        QCOMPARE(info->effectiveHash(), QStringLiteral("r"));
        QCOMPARE(info->effectiveIndex(), 9u);
        QCOMPARE(info->effectiveSize(), quint64(7));
    }
};

QTEST_GUILESS_MAIN(TestReplyValues)
#include "tst_replyvalues.moc"
