#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class BodySource;
class Store;
struct FileRecord;

struct SwarmOptions
{
    QString cacheDir; // payloads and saved metadata, one folder per resource
    QString statusPath; // where the running service publishes its swarm table
    QString listen = QStringLiteral("0.0.0.0:6881");
    QStringList trackers; // announced for every resource fetched here
    QStringList peers; // "ADDR:PORT" added to every resource fetched here
    bool dht = true; // off also turns off local discovery, UPnP, NAT-PMP and uTP
    std::int64_t cacheBytes = std::int64_t(20) * 1024 * 1024 * 1024;
    std::int64_t downloadLimit = 0; // bytes per second over all peers; 0: none
    std::chrono::milliseconds metadataWait { 5000 };
    std::chrono::milliseconds stallLimit { 60000 }; // a range waiting for pieces
};

// Reads "1048576", "512MB", "512M", "2GB" or "2G" as bytes; -1 otherwise.
std::int64_t parseByteSize(const QString &text);

// The 40 hex digits that name a swarm file until its content hash is known:
// the same for the same resource and index whenever it is made.
QString swarmFileId(const QString &resource, std::int64_t index);

// Resources the library does not hold, fetched from BitTorrent peers through
// one libtorrent session and streamed while they download. Metadata that
// arrives is stored as a "swarm" resource (and its torrent saved in the
// cache folder), so the file list survives a restart.
class Swarm
{
public:
    Swarm(Store &store, SwarmOptions options);
    ~Swarm();
    Swarm(const Swarm &) = delete;
    Swarm &operator=(const Swarm &) = delete;

    // Starts the session and its alert thread; false with the reason.
    bool start(QString *error);
    void stop();

    const SwarmOptions &options() const;

    // Starts fetching the metadata of an info-hash (40 lowercase hex digits)
    // if it is not being fetched yet. `wake` is called once, from any thread,
    // when the resource is stored (at once when it already is).
    void fetchMetadata(const QString &hash, std::function<void()> wake);

    // Stores a resource whose metadata the cache folder kept (the database
    // lost it); false when it has none. Blocking: not for I/O threads.
    bool storeSaved(const QString &hash);

    // A body source for a swarm file: it asks for the pieces ahead of the
    // bytes being sent first, and keeps the resource from being evicted
    // while it lives. Null once the swarm is stopping.
    std::shared_ptr<BodySource> open(const FileRecord &file);

    struct Core;

private:
    std::shared_ptr<Core> d;
};
