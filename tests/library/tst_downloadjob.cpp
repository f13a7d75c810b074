#include "fullfilesystem.h"
#include "library/downloadjob.h"
#include "testdir.h"
#include "testhttpserver.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

using State = DownloadJob::State;

namespace {

QByteArray payload(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

QStringList listing(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QSharedPointer<VideoFileInfo> fileOn(
    const TestHttpServer &server, const QString &name, quint64 size)
{
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = QStringLiteral("30b8c4c10efa39d63f058d117927b2c5e32d9f24");
    file->name = name;
    file->fileSize = size;
    file->url = server.url(QStringLiteral("/ftn_handler/abc")).toString();
    file->comCookie = QStringLiteral("FTN5K=ab12cd");
    return file;
}

// Runs the job until it ends.
bool finish(DownloadJob &job, const QString &folder)
{
    QSignalSpy finished(&job, &DownloadJob::finished);
    job.start(folder);
    if (finished.isEmpty() && !finished.wait(10000))
        return false;
    return finished.first().first().toBool();
}

} // namespace

class TestDownloadJob : public QObject
{
    Q_OBJECT

private slots:
    void speedText_data();
    void speedText();
    void texts();
    void outcomes_data();
    void outcomes();
    void fullDisk();
    void stallShowsZeroAndCancels();
    void sameTargetRunsOnce();
};

void TestDownloadJob::speedText_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0.00B/S";
    QTest::newRow("negative") << qint64(-5) << "-5.00B/S";
    QTest::newRow("bytes") << qint64(500) << "500.00B/S";
    QTest::newRow("below a KiB") << qint64(1023) << "1023.00B/S";
    QTest::newRow("one KiB") << qint64(1024) << "1.00KB/S";
    QTest::newRow("KiB truncated") << qint64(1536) << "1.00KB/S";
    QTest::newRow("below a MiB") << qint64(1048575) << "1023.00KB/S";
    QTest::newRow("one MiB") << qint64(1048576) << "1.00MB/S";
    QTest::newRow("top of MiB") << qint64(0x3FFFFFFF) << "1023.00MB/S";
    QTest::newRow("one GiB") << qint64(0x40000000) << "1.00GB/S";
    QTest::newRow("many GiB") << (qint64(5) << 30) + 12345 << "5.00GB/S";
}

void TestDownloadJob::speedText()
{
    QFETCH(qint64, value);
    QFETCH(QString, text);
    QCOMPARE(DownloadJob::speedText(value), text);
}

void TestDownloadJob::texts()
{
    QCOMPARE(DownloadJob::cleanFileName(QStringLiteral("a:b?.mkv")), QStringLiteral("ab.mkv"));
    QCOMPARE(DownloadJob::cleanFileName(QStringLiteral("\\/:*?\"<>|")), QString());
    QCOMPARE(DownloadJob::cleanFileName(QStringLiteral("第1集 <终>.mp4")),
        QStringLiteral("第1集 终.mp4"));
    QCOMPARE(DownloadJob::cleanFileName(QStringLiteral("a\tb\x7f\u0085\r\n.mkv")),
        QStringLiteral("ab.mkv"));
    QCOMPARE(DownloadJob::progressText(1234, 10000), QStringLiteral("12.34%"));
    QCOMPARE(DownloadJob::progressText(0, 0), QStringLiteral("0.00%"));
}

// One transfer against a scripted host: what it ends as, what the folder
// holds afterwards, and whether the request was sent at all.
void TestDownloadJob::outcomes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("serviceSize");
    QTest::addColumn<TestHttpAnswer>("answer");
    // Put in the folder first: "name=content", "name/" (a folder) or
    // "name@target" (a link); files that are not the target keep their content.
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<State>("state");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<int>("requests"); // at least, or none

    const QByteArray body = payload(300000);
    TestHttpAnswer ok;
    ok.body = body;
    TestHttpAnswer closed = ok;
    closed.closeAfterBodyBytes = 1000;
    TestHttpAnswer closedAtOnce = ok;
    closedAtOnce.closeAfterBodyBytes = 0;
    const int size = body.size();
    const QStringList done { "ab.mkv" };
    const QStringList tmp { "ab.mkv.tmp" };

    QTest::newRow("complete") << "a:b?.mkv" << size << ok << "" << true << State::Finished << done
                              << 1;
    QTest::newRow("existing target replaced")
        << "a:b?.mkv" << size << ok << "ab.mkv=old" << true << State::Finished << done << 1;
    QTest::newRow("stale tmp removed")
        << "a:b?.mkv" << size << ok << "ab.mkv.tmp=junk" << true << State::Finished << done << 1;
    QTest::newRow("403") << "ab.mkv" << size << TestHttpAnswer::withStatus(403) << "" << true
                         << State::Failed << tmp << 1;
    QTest::newRow("404") << "ab.mkv" << size << TestHttpAnswer::withStatus(404) << "" << true
                         << State::Failed << tmp << 1;
    QTest::newRow("closed mid-body")
        << "ab.mkv" << size << closed << "" << true << State::Failed << tmp << 1;
    QTest::newRow("empty reply for a non-empty file")
        << "ab.mkv" << size << TestHttpAnswer::withStatus(200) << "" << true << State::Failed << tmp
        << 1;
    QTest::newRow("closed before the body")
        << "ab.mkv" << size << closedAtOnce << "" << true << State::Failed << tmp << 1;
    QTest::newRow("fewer bytes than the service's size")
        << "ab.mkv" << size + 1 << ok << "" << true << State::Failed << tmp << 1;
    QTest::newRow("more bytes than the service's size")
        << "ab.mkv" << size - 1 << ok << "" << true << State::Failed << tmp << 1;
    QTest::newRow("target is a folder")
        << "ab.mkv" << size << ok << "ab.mkv/" << true << State::Failed
        << QStringList { "ab.mkv", "ab.mkv.tmp" } << 1;
    QTest::newRow("name only forbidden characters")
        << "::??" << size << ok << "" << true << State::Failed << QStringList() << 0;
    // A NUL must not end the name early: "a\0b.mkv.tmp" opened as "a"
    // appended to the user's file "a".
    QTest::newRow("NUL in the name")
        << QStringLiteral("a") + QChar(0) + QStringLiteral("b.mkv") << size << ok << "a=mine"
        << true << State::Finished << QStringList { "a", "ab.mkv" } << 1;
    QTest::newRow("control characters in the name")
        << "a\x01\tb\x7f.mkv" << size << ok << "" << true << State::Finished << done << 1;
    QTest::newRow("name is a dot")
        << "." << size << ok << "" << true << State::Failed << QStringList() << 0;
    QTest::newRow("name cleans to two dots")
        << ".:\n." << size << ok << "" << true << State::Failed << QStringList() << 0;
    QTest::newRow("stale tmp is a link to another file")
        << "ab.mkv" << size << ok << "ab.mkv.tmp@other" << true << State::Finished << done << 1;
    QTest::newRow("missing folder")
        << "ab.mkv" << size << ok << "" << false << State::Failed << QStringList() << 0;
    QTest::newRow("zero-byte file") << "ab.mkv" << 0 << TestHttpAnswer::withStatus(200) << ""
                                    << true << State::Finished << done << 1;
}

void TestDownloadJob::outcomes()
{
    QFETCH(QString, name);
    QFETCH(int, serviceSize);
    QFETCH(TestHttpAnswer, answer);
    QFETCH(QString, before);
    QFETCH(bool, folderExists);
    QFETCH(State, state);
    QFETCH(QStringList, after);
    QFETCH(int, requests);

    TestHttpServer server;
    QVERIFY(server.start());
    server.enqueue(answer);
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("downloads"));
    if (folderExists)
        QVERIFY(QDir().mkpath(folder));
    const QString beforeName = before.section(QRegularExpression("[=@/]"), 0, 0);
    const QString beforePath = folder + QLatin1Char('/') + beforeName;
    if (before.endsWith(QLatin1Char('/')))
        QVERIFY(QDir(folder).mkdir(beforeName));
    else if (before.contains(QLatin1Char('@')))
        QVERIFY(QFile::link(before.section('@', 1), beforePath));
    else if (!before.isEmpty())
        QVERIFY(writeFileBytes(beforePath, before.section('=', 1).toUtf8()));

    DownloadJob job(fileOn(server, name, quint64(serviceSize)));
    QCOMPARE(finish(job, folder), state == State::Finished);
    QCOMPARE(job.state(), state);
    QCOMPARE(listing(folder), after);
    // Qt asks once more when a connection closes mid-body.
    QVERIFY(requests == 0 ? server.requestCount() == 0 : server.requestCount() >= requests);
    if (requests > 0)
        QCOMPARE(server.lastRequest().header("Cookie"), QByteArray("FTN5K=ab12cd"));
    if (state == State::Finished) {
        QCOMPARE(job.targetPath(), QDir::toNativeSeparators(folder + QStringLiteral("/ab.mkv")));
        QCOMPARE(readFileBytes(job.targetPath()), answer.body);
    }
    if (!folderExists)
        QCOMPARE(listing(root.path()), QStringList());
    if (before.contains(QLatin1Char('=')) && !beforeName.startsWith(QStringLiteral("ab.mkv")))
        QCOMPARE(readFileBytes(beforePath), before.section('=', 1).toUtf8());
}

// A disk that fills up mid-transfer: the row fails, its ".tmp" goes, and
// the other file on that disk stays as it was.
void TestDownloadJob::fullDisk()
{
    FullFileSystem disk;
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.reason()));
    QDir mountPoint(disk.path());
    QVERIFY(writeFileBytes(mountPoint.filePath(QStringLiteral("other.mkv")), "keep me"));

    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpAnswer big;
    big.body = payload(1 << 20);
    server.enqueue(big);
    DownloadJob job(fileOn(server, QStringLiteral("big.mkv"), quint64(big.body.size())));
    QVERIFY(!finish(job, disk.path()));
    QCOMPARE(job.state(), State::Failed);
    QCOMPARE(listing(disk.path()), QStringList { "other.mkv" });
    QCOMPARE(
        readFileBytes(mountPoint.filePath(QStringLiteral("other.mkv"))), QByteArray("keep me"));
}

// The speed is the rate of the last interval, so a stalled transfer drops to
// zero; cancelling it still works and removes the ".tmp".
void TestDownloadJob::stallShowsZeroAndCancels()
{
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpAnswer stall;
    stall.body = payload(200000);
    stall.stallAfterBodyBytes = 50000;
    server.enqueue(stall);
    QTemporaryDir folder;

    DownloadJob job(fileOn(server, QStringLiteral("s.mkv"), quint64(stall.body.size())));
    QSignalSpy speeds(&job, &DownloadJob::speedChanged);
    QSignalSpy finished(&job, &DownloadJob::finished);
    job.start(folder.path());
    QTRY_COMPARE_WITH_TIMEOUT(job.bytesWritten(), qint64(50000), 5000);
    QCOMPARE(listing(folder.path()), QStringList { "s.mkv.tmp" });
    QTRY_VERIFY_WITH_TIMEOUT(
        speeds.size() >= 2 && speeds.last().first().toLongLong() == 0, 3 * 1000 + 500);
    QVERIFY(speeds.first().first().toLongLong() > 0);

    job.cancel();
    QCOMPARE(job.state(), State::Cancelled);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(listing(folder.path()), QStringList());
    job.cancel();
    QCOMPARE(finished.size(), 1);
}

// Two jobs for one target never share a ".tmp": the second one fails at
// once and touches nothing; once the first has ended the target is free.
void TestDownloadJob::sameTargetRunsOnce()
{
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpAnswer stall;
    stall.body = payload(100000);
    stall.stallAfterBodyBytes = 1000;
    server.enqueue(stall);
    TestHttpAnswer ok;
    ok.body = payload(4000);
    server.setDefaultAnswer(ok);
    QTemporaryDir folder;

    auto first = std::make_unique<DownloadJob>(
        fileOn(server, QStringLiteral("a?.mkv"), quint64(stall.body.size())));
    first->start(folder.path());
    QTRY_COMPARE(first->bytesWritten(), qint64(1000));

    DownloadJob second(fileOn(server, QStringLiteral("a.mkv"), 4000));
    QVERIFY(!finish(second, folder.path()));
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(readFileBytes(folder.filePath(QStringLiteral("a.mkv.tmp"))), stall.body.left(1000));

    // Destroying a running job cancels it.
    first.reset();
    QCOMPARE(listing(folder.path()), QStringList());
    DownloadJob third(fileOn(server, QStringLiteral("a.mkv"), 4000));
    QVERIFY(finish(third, folder.path()));
    QCOMPARE(listing(folder.path()), QStringList { "a.mkv" });
}

QTEST_GUILESS_MAIN(TestDownloadJob)
#include "tst_downloadjob.moc"
