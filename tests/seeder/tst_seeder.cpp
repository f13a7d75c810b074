// tavrion-seeder: what it refuses, and that a plain libtorrent session gets
// the payload's exact bytes from it with either payload folder convention.
#include "loopbacksettings.h"
#include "serverprocess.h"
#include "testdir.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_status.hpp>

#include <fstream>

namespace {

// Writes FILE_OR_FOLDER's torrent to `output`.
bool makeTorrent(const QString &fileOrFolder, const QString &output)
{
    lt::file_storage storage;
    lt::add_files(storage, fileOrFolder.toStdString());
    lt::create_torrent torrent(storage, 16 * 1024, lt::create_torrent::v1_only);
    lt::error_code error;
    lt::set_piece_hashes(torrent, QFileInfo(fileOrFolder).absolutePath().toStdString(), error);
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    return !error && writeFileBytes(output, QByteArray(bytes.data(), int(bytes.size())));
}

// Fetches the resource by its bare info-hash from the one peer into `saveDir`.
bool fetch(const QString &hash, const QString &peer, const QString &saveDir)
{
    lt::session session(loopbackSettings());
    lt::add_torrent_params params
        = lt::parse_magnet_uri("magnet:?xt=urn:btih:" + hash.toStdString());
    params.save_path = saveDir.toStdString();
    lt::torrent_handle torrent = session.add_torrent(params);
    torrent.connect_peer({ lt::make_address_v4("127.0.0.1"),
        std::uint16_t(peer.section(QLatin1Char(':'), 1).toInt()) });
    QElapsedTimer timer;
    timer.start();
    while (!torrent.status().is_seeding) {
        if (timer.elapsed() > 30000)
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace

class TestSeeder : public QObject
{
    Q_OBJECT

private slots:
    void refuses_data();
    void refuses();
    void seeds_data();
    void seeds();

private:
    QTemporaryDir m_dir;
};

void TestSeeder::refuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    const QString torrent = m_dir.filePath(QStringLiteral("one.torrent"));
    QVERIFY(
        writeFileBytes(m_dir.filePath(QStringLiteral("payload/one.bin")), QByteArray(1000, 'x')));
    QVERIFY(makeTorrent(m_dir.filePath(QStringLiteral("payload/one.bin")), torrent));
    const QString payload = m_dir.filePath(QStringLiteral("payload"));
    QTest::newRow("nothing") << QStringList() << 2;
    QTest::newRow("no payload") << QStringList { "--torrent", torrent } << 2;
    QTest::newRow("value missing") << QStringList { "--torrent", torrent, "--payload" } << 2;
    QTest::newRow("unknown option")
        << QStringList { "--torrent", torrent, "--payload", payload, "--dht", "on" } << 2;
    QTest::newRow("beyond loopback")
        << QStringList { "--torrent", torrent, "--payload", payload, "--listen", "0.0.0.0:0" } << 2;
    QTest::newRow("port too large")
        << QStringList { "--torrent", torrent, "--payload", payload, "--listen", "127.0.0.1:65536" }
        << 2;
    QTest::newRow("not a torrent")
        << QStringList { "--torrent", payload + "/one.bin", "--payload", payload } << 1;
    QTest::newRow("payload missing")
        << QStringList { "--torrent", torrent, "--payload", m_dir.path() } << 1;
    QVERIFY(writeFileBytes(m_dir.filePath(QStringLiteral("short/one.bin")), QByteArray(999, 'x')));
    QTest::newRow("payload of another size")
        << QStringList { "--torrent", torrent, "--payload", m_dir.filePath("short") } << 1;
}

void TestSeeder::refuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QProcess seeder;
    seeder.start(builtProgram(QStringLiteral("tavrion-seeder")), arguments);
    QVERIFY(seeder.waitForFinished(10000));
    QCOMPARE(seeder.exitCode(), exitCode);
    QVERIFY(seeder.readAllStandardOutput().isEmpty());
    QVERIFY(!seeder.readAllStandardError().isEmpty());
}

void TestSeeder::seeds_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QStringList>("files");
    // Several pieces, a last piece cut short, a file across a piece border.
    QVERIFY(writeFileBytes(m_dir.filePath("s/single.bin"), QByteArray(100000, 's')));
    QByteArray noise(70001, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char(i * 7 % 251);
    QVERIFY(writeFileBytes(m_dir.filePath("m/剧集/a.bin"), noise));
    QVERIFY(writeFileBytes(m_dir.filePath("m/剧集/sub/b.bin"), noise.left(20000)));
    QTest::newRow("single file, its folder") << "s/single.bin"
                                             << "s" << QStringList { "single.bin" };
    QTest::newRow("folder, its parent") << "m/剧集"
                                        << "m" << QStringList { "剧集/a.bin", "剧集/sub/b.bin" };
    QTest::newRow("folder, the top folder itself")
        << "m/剧集"
        << "m/剧集" << QStringList { "剧集/a.bin", "剧集/sub/b.bin" };
}

void TestSeeder::seeds()
{
    QFETCH(QString, source);
    QFETCH(QString, payload);
    QFETCH(QStringList, files);
    const QString torrent
        = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".torrent");
    QVERIFY(makeTorrent(m_dir.filePath(source), torrent));
    SeederProcess seeder;
    QVERIFY2(seeder.start(torrent, m_dir.filePath(payload)), qPrintable(seeder.errorOutput()));
    QVERIFY(seeder.address().startsWith(QLatin1String("127.0.0.1:")));
    QTemporaryDir download;
    QVERIFY(fetch(seeder.infoHash(), seeder.address(), download.path()));
    const QString sourceParent = QFileInfo(m_dir.filePath(source)).path();
    for (const QString &file : files)
        QCOMPARE(readFileBytes(download.filePath(file)), readFileBytes(sourceParent + '/' + file));
    QVERIFY(seeder.stop());
}

QTEST_GUILESS_MAIN(TestSeeder)
#include "tst_seeder.moc"
