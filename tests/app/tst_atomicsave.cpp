#include "account/usersession.h"
#include "common/atomicsave.h"
#include "fullfilesystem.h"
#include "library/playrecordstore.h"
#include "platform/desktopentry.h"
#include "testdir.h"

#include <QDir>
#include <QtTest>

// Saves on a full disk must fail visibly and keep the file they replace.
class TestAtomicSave : public QObject
{
    Q_OBJECT

private slots:
    void fullDiskKeepsTheOldFile_data();
    void fullDiskKeepsTheOldFile();
};

enum Saver { PlayRecords, Credentials, DesktopShortcut, LargeContent };
Q_DECLARE_METATYPE(Saver)

void TestAtomicSave::fullDiskKeepsTheOldFile_data()
{
    QTest::addColumn<Saver>("saver");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("play records") << PlayRecords << QStringLiteral("PlayRecord.dat");
    QTest::newRow("credentials") << Credentials << QStringLiteral("user.dat");
    QTest::newRow("desktop entry") << DesktopShortcut << QStringLiteral("Tavrion影音.desktop");
    QTest::newRow("beyond the write buffer") << LargeContent << QStringLiteral("big.dat");
}

void TestAtomicSave::fullDiskKeepsTheOldFile()
{
    QFETCH(Saver, saver);
    QFETCH(QString, fileName);

    FullFileSystem disk;
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("no full disk to try: ") + disk.reason()));

    const QByteArray old = "previous content that must survive\n";
    QVERIFY(writeFileBytes(fileName, old));
    QVERIFY(disk.fill());

    const auto save = [&](QString *errorText) {
        switch (saver) {
        case PlayRecords:
            return PlayRecordStore::addPlay("h", 1, "j", "n");
        case Credentials:
            return UserSession::instance()->saveCredentials("u", "p", errorText);
        case DesktopShortcut:
            return DesktopEntry::create(
                QDir::current().filePath(fileName), "n", "/bin/true", QDir::currentPath(), "icon");
        case LargeContent:
            return saveFileAtomically(fileName, QByteArray(40 * 1024, 'x'), errorText);
        }
        return false;
    };

    QString errorText;
    QVERIFY(!save(&errorText));
    QCOMPARE(readFileBytes(fileName), old);
    if (saver == Credentials || saver == LargeContent)
        QVERIFY(!errorText.isEmpty());
    // The temporary file beside it is gone too: only the old file and the filler.
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);

    disk.makeRoom();
    QVERIFY(save(nullptr));
    QVERIFY(readFileBytes(fileName) != old);
}

QTEST_GUILESS_MAIN(TestAtomicSave)
#include "tst_atomicsave.moc"
