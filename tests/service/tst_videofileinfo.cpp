#include "resource/videofileinfo.h"

#include <QtTest>

class TestVideoFileInfo : public QObject
{
    Q_OBJECT

private slots:
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
        info->hash = QStringLiteral("h2");
        info->index = 3;
        info->fileSize = 4;
        QCOMPARE(info->effectiveHash(), QStringLiteral("r"));
        QCOMPARE(info->effectiveIndex(), 9u);
        QCOMPARE(info->effectiveSize(), quint64(7));
    }
};

QTEST_GUILESS_MAIN(TestVideoFileInfo)
#include "tst_videofileinfo.moc"
