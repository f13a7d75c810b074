#include "swarm.h"

#include "common/atomicsave.h"
#include "httpengine.h"
#include "library.h"
#include "nearpeers.h"
#include "serverapp.h"
#include "store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
// Pieces asked for ahead of the byte a range is at, beyond the one it needs.
// With the bandwidth short a range starts with a short window, so that the
// pieces it needs first are not fetched in a random order among many, and
// doubles it at each piece it moves on to, up to the full read-ahead.
constexpr std::int64_t FirstReadAheadBytes = 256 * 1024;
constexpr std::int64_t ReadAheadBytes = 8 * 1024 * 1024;
// What a player reads first of a video file, besides its last piece.
constexpr std::int64_t HeadBytes = 256 * 1024;
// The ends of the next video file come after the reader's next pieces.
constexpr int WarmDeadline = 3000;
// A deadline that never comes due: it only keeps a piece on the torrent's
// list of deadlines (see resumeBackground).
constexpr int BackgroundDeadline = 7 * 24 * 3600 * 1000;
// Without a limit the background download resumes this long after the last
// stream of a file closed: a player's seek or the probe before it closes one
// range and opens the next, and pieces asked for in between would fill the
// peers' queues ahead of the new range's.
constexpr auto ResumeAfter = std::chrono::seconds(2);
// Without a limit: how far ahead of a player pieces are fetched while streams
// read (see holdBackground).
constexpr std::int64_t StreamAheadBytes = 4 * 1024 * 1024;
// Bytes right ahead of a reader that get deadlines (see hurryNext), and the
// rate those deadlines assume: a few seconds of a high bit rate video.
constexpr std::int64_t NearBytes = 2 * 1024 * 1024;
constexpr std::int64_t NearBytesPerSecond = 2 * 1024 * 1024;
// The pieces right ahead of a reader that have deadlines (see hurryNext).
constexpr int HurriedPieces = 2;
// A hash nobody asks about again is dropped from the session after this long
// without metadata.
constexpr auto PendingLifetime = std::chrono::minutes(10);

QString hexOf(const lt::sha1_hash &hash)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(hash.data()), int(hash.size())).toHex());
}

lt::sha1_hash hashOf(const QString &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    lt::sha1_hash hash;
    if (bytes.size() == int(hash.size()))
        std::memcpy(hash.data(), bytes.constData(), hash.size());
    return hash;
}

// Calls on a torrent handle throw once the torrent has left the session,
// which can happen between the check and the call.
template <typename Call> void onHandle(const lt::torrent_handle &handle, Call call)
{
    if (!handle.is_valid())
        return;
    try {
        call();
    } catch (const std::exception &) {
    }
}

// Bytes a folder takes on disk (sparse files count what they hold).
std::int64_t diskUsage(const std::filesystem::path &folder)
{
    std::int64_t total = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        struct stat info
        {
        };
        if (::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode))
            total += std::int64_t(info.st_blocks) * 512;
    }
    return total;
}

bool isVideoName(const std::string &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\.(mp4|m4v|mkv|webm|avi|mov|wmv|flv|ts|m2ts|mpg|mpeg|rm|rmvb|3gp|ogv)$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(QString::fromStdString(name)).hasMatch();
}

// Name order as people count: digit runs compare by value, "ep2" before
// "ep10"; otherwise case-insensitive.
bool naturalLess(const std::string &a, const std::string &b)
{
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && digit(a[endA]))
                ++endA;
            while (endB < b.size() && digit(b[endB]))
                ++endB;
            // Without leading zeros, the longer run is the larger number.
            while (i + 1 < endA && a[i] == '0')
                ++i;
            while (j + 1 < endB && b[j] == '0')
                ++j;
            const std::string numberA = a.substr(i, endA - i);
            const std::string numberB = b.substr(j, endB - j);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            if (numberA != numberB)
                return numberA < numberB;
            i = endA;
            j = endB;
            continue;
        }
        const int left = std::tolower(static_cast<unsigned char>(a[i]));
        const int right = std::tolower(static_cast<unsigned char>(b[j]));
        if (left != right)
            return left < right;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// The priority of a piece `ahead` pieces past the one a reader is at: among
// pieces of one priority libtorrent picks at random, so each of the next
// ones has a priority of its own.
lt::download_priority_t priorityAhead(int ahead)
{
    return ahead < 2 ? lt::top_priority : lt::download_priority_t(std::max(1, 8 - ahead));
}

bool isInfoHash(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{40}$"));
    return pattern.match(text).hasMatch();
}

} // namespace

std::int64_t parseByteSize(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,15})\\s*([KMGT]?)(i?B)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    std::int64_t value = match.captured(1).toLongLong();
    const QString unit = match.captured(2).toUpper();
    const int shift = unit == QLatin1String("K") ? 10
        : unit == QLatin1String("M")             ? 20
        : unit == QLatin1String("G")             ? 30
        : unit == QLatin1String("T")             ? 40
                                                 : 0;
    if (shift > 0 && value > (std::numeric_limits<std::int64_t>::max() >> shift))
        return -1;
    return value << shift;
}

QString swarmFileId(const QString &resource, std::int64_t index)
{
    return QString::fromLatin1(QCryptographicHash::hash(
        QStringLiteral("tavrion-swarm:%1:%2").arg(resource).arg(index).toUtf8(),
        QCryptographicHash::Sha1)
                                   .toHex());
}

namespace {

// The pieces one stream has asked for with deadlines: first to last, the
// pieces from the one it was reading when it asked. Guarded by Core::mutex.
struct ReadWindow
{
    int first = 0;
    int last = -1; // below first: nothing asked
    // A newer stream of the resource took the bandwidth: this one asks only
    // for the piece it needs next.
    bool overtaken = false;

    bool holds(int piece) const { return piece >= first && piece <= last; }
};

// One resource the swarm knows this run. Guarded by Core::mutex.
struct Entry
{
    QString hash;
    lt::torrent_handle handle; // invalid while not in the session
    std::shared_ptr<const lt::torrent_info> info; // null until the metadata is known
    bool stored = false; // the store holds the resource
    bool adding = false;
    bool evicting = false; // its files are being deleted
    bool wantActive = false; // asked for while evicting
    std::vector<bool> have; // verified pieces
    // Files nobody streamed have low priority, never none: a left-out
    // file's pieces would go to the part file, not where the streams read.
    // Until a file is streamed the torrent fetches nothing (see holdIdle).
    std::vector<lt::download_priority_t> priorities;
    std::vector<bool> hashed; // content hash known or being computed, per file
    std::vector<std::function<void()>> waiters; // for metadata or for pieces
    int pins = 0; // live streams
    std::vector<std::weak_ptr<ReadWindow>> windows; // of the live streams
    std::shared_ptr<NearPeers> near; // of the torrent in the session now
    // Fetched besides the streams' windows: while nobody streams, the ends
    // of the video files (unlimited bandwidth only), so that a first read
    // finds them there; then the ends of the next video file.
    std::vector<int> warm;
    bool filesSet = false; // the torrent has the file priorities (none 0)
    bool held = false; // the background download waits for the streams to end
    // Pieces are fetched in index order: a fresh resource whose first reads
    // are at the start of the torrent (see endInOrder).
    bool inOrder = false;
    Clock::time_point lastUsed = Clock::now();
    // Figures for the status table.
    lt::torrent_status::state_t state = lt::torrent_status::downloading_metadata;
    double progress = 0;
    int peers = 0;
    int downloadRate = 0;
    int uploadRate = 0;
};

struct HashJob
{
    std::shared_ptr<Entry> entry;
    int file = 0;
    QString path;
};

} // namespace

struct Swarm::Core : std::enable_shared_from_this<Swarm::Core>
{
    Core(Store &store, SwarmOptions options)
        : store(store)
        , options(std::move(options))
    {
    }

    Store &store;
    const SwarmOptions options;
    std::vector<lt::tcp::endpoint> peers;
    std::unique_ptr<lt::session> session;

    std::mutex mutex;
    std::map<QString, std::shared_ptr<Entry>> entries;

    std::atomic<bool> stopping { false };
    std::thread alertThread;
    std::thread hashThread;
    std::mutex hashMutex;
    std::condition_variable hashWake;
    std::deque<HashJob> hashJobs;

    QString torrentPath(const QString &hash) const
    {
        return QDir(options.cacheDir).filePath(hash + QStringLiteral(".torrent"));
    }
    std::string savePath(const QString &hash) const
    {
        return QDir(options.cacheDir).filePath(hash).toStdString();
    }

    static std::vector<std::function<void()>> takeWaiters(Entry &entry)
    {
        std::vector<std::function<void()>> waiters;
        waiters.swap(entry.waiters);
        return waiters;
    }
    static void call(const std::vector<std::function<void()>> &waiters)
    {
        for (const auto &wake : waiters)
            wake();
    }

    // The entry of a hash, made when missing; with the saved metadata when
    // the cache folder has it. Mutex held.
    std::shared_ptr<Entry> entryFor(const QString &hash)
    {
        std::shared_ptr<Entry> &entry = entries[hash];
        if (entry)
            return entry;
        entry = std::make_shared<Entry>();
        entry->hash = hash;
        lt::error_code error;
        const QString saved = torrentPath(hash);
        if (QFileInfo::exists(saved)) {
            auto info = std::make_shared<lt::torrent_info>(saved.toStdString(), error);
            if (!error && info->info_hashes().v1 == hashOf(hash))
                setInfo(*entry, info);
        }
        return entry;
    }

    static void setInfo(Entry &entry, std::shared_ptr<const lt::torrent_info> info)
    {
        entry.have.assign(std::size_t(info->num_pieces()), false);
        entry.priorities.assign(std::size_t(info->num_files()), lt::low_priority);
        entry.hashed.assign(std::size_t(info->num_files()), false);
        entry.info = std::move(info);
    }

    // Puts the entry's torrent into the session unless it is there. Mutex held.
    void activate(Entry &entry)
    {
        if (entry.evicting) {
            entry.wantActive = true;
            return;
        }
        if (entry.handle.is_valid() || entry.adding || !session)
            return;
        lt::add_torrent_params params;
        if (entry.info) {
            params.ti = std::make_shared<lt::torrent_info>(*entry.info);
            // File priorities would override the piece priorities.
            if (streamed(entry))
                params.file_priorities = entry.priorities;
            else
                params.piece_priorities = idlePieces(entry);
        } else {
            params.info_hashes = lt::info_hash_t(hashOf(entry.hash));
            // Idle from the moment the metadata arrives, not from when the
            // alert is handled; a stream sets the file priorities.
            params.flags |= lt::torrent_flags::default_dont_download;
            // Except the first file, at low priority: the torrent still wants
            // something when the metadata arrives, until the ends of the
            // video files are asked for (warmUp). A peer told "not
            // interested" in between loses libtorrent's quick start of its
            // request queue for good, and some clients (Transmission) take
            // seconds to unchoke again.
            // In index order while the reads are at the start of the torrent:
            // the usual order starts with a random piece, and among pieces
            // of one priority goes on at random, where a player starting to
            // play needs the first ones in order.
            if (!limited()) {
                params.file_priorities = { lt::low_priority };
                params.flags |= lt::torrent_flags::sequential_download;
                entry.inOrder = true;
            }
        }
        params.save_path = savePath(entry.hash);
        entry.near = std::make_shared<NearPeers>();
        params.extensions.push_back(
            [near = entry.near](const lt::torrent_handle &,
                lt::client_data_t) -> std::shared_ptr<lt::torrent_plugin> { return near; });
        for (const QString &tracker : options.trackers)
            params.trackers.push_back(tracker.toStdString());
        params.peers = peers;
        // Streams cannot wait in a download queue. Added paused and resumed
        // once the named peers are in its list: resuming connects to them at
        // once, where the session's own round of connections comes only once
        // a second.
        params.flags &= ~lt::torrent_flags::auto_managed;
        params.flags |= lt::torrent_flags::paused;
        entry.adding = true;
        session->async_add_torrent(std::move(params));
    }

    // With a download limit the bandwidth is short: only the streams'
    // windows are fetched, with deadlines (focus); streams start with a short
    // read-ahead, and the newest stream of a resource overtakes the older
    // ones. Without one, the windows get priorities (deadlines only for a
    // reader's next pieces) and a streamed file downloads in the background
    // when no stream reads it (holdBackground).
    bool limited() const { return options.downloadLimit > 0; }

    static std::pair<int, int> pieceSpan(const Entry &entry, int file)
    {
        const lt::file_storage &files = entry.info->files();
        const std::int64_t size = files.file_size(lt::file_index_t(file));
        if (size == 0)
            return { 0, -1 };
        return { int(files.map_file(lt::file_index_t(file), 0, 0).piece),
            int(files.map_file(lt::file_index_t(file), size - 1, 1).piece) };
    }

    // Leaves only the streams' windows to fetch, and has every stream ask for
    // its window again. Every piece fetched is then one a stream asked for,
    // with a deadline: libtorrent cancels the requests of pieces without a
    // deadline whenever a piece with one is due, and a cancelled request may
    // never be answered (see inFlight). Mutex held, limited only.
    void focus(Entry &entry)
    {
        if (!entry.info)
            return;
        holdAllBut(entry, inFlight(entry));
        renewWindows(entry);
        askWarm(entry);
    }

    // Asks for the warm pieces (again after the priorities were reset), after
    // the streams' next pieces. With deadlines even with bandwidth to spare:
    // libtorrent cancels every request in flight without one when a torrent
    // gets its first deadline, and some clients (Transmission) drop a
    // cancelled request without the reject they owe, which leaves those
    // requests filling the peer's queue for good. Set as the metadata
    // arrives, the first deadlines come before the first requests. Mutex held.
    void askWarm(Entry &entry)
    {
        for (std::size_t i = 0; i < entry.warm.size(); ++i) {
            const int piece = entry.warm[i];
            if (entry.have[std::size_t(piece)])
                continue;
            onHandle(entry.handle, [&] {
                entry.handle.set_piece_deadline(
                    lt::piece_index_t(piece), WarmDeadline + int(i) * 100);
            });
        }
    }

    // Has every stream ask for its window again. Mutex held.
    static void renewWindows(Entry &entry)
    {
        for (const std::weak_ptr<ReadWindow> &held : entry.windows) {
            if (const auto window = held.lock())
                window->last = window->first - 1;
        }
    }

    // Pieces with blocks asked of a peer and not yet received. Taking such a
    // piece's deadline or priority away cancels those requests, and some
    // clients (Transmission) drop a cancelled request without the reject the
    // fast extension promises: the piece would then wait for the request
    // time-out, a minute, whenever it is wanted again. Mutex held.
    static std::vector<bool> inFlight(const Entry &entry)
    {
        std::vector<bool> requested(entry.have.size(), false);
        onHandle(entry.handle, [&] {
            for (const lt::partial_piece_info &partial : entry.handle.get_download_queue()) {
                const std::size_t piece = std::size_t(static_cast<int>(partial.piece_index));
                if (piece < requested.size())
                    requested[piece] = partial.requested > 0;
            }
        });
        return requested;
    }

    // Takes a window's missing pieces that no other live window holds back
    // to the file's priority; limited, or with the background held for other
    // streams, their deadlines go and they are not fetched any more, unless
    // a peer is sending them. Mutex held.
    void release(Entry &entry, ReadWindow &window)
    {
        std::vector<std::shared_ptr<ReadWindow>> others;
        for (auto it = entry.windows.begin(); it != entry.windows.end();) {
            const auto other = it->lock();
            if (!other) {
                it = entry.windows.erase(it);
                continue;
            }
            if (other.get() != &window)
                others.push_back(other);
            ++it;
        }
        // The last stream's pieces stay wanted without a limit: the next
        // stream most likely reads there (a probe, then the player), and a
        // moment with nothing wanted would tell the peers so (see activate).
        const bool hold = limited() || (entry.held && !others.empty());
        const std::vector<bool> requested
            = hold ? inFlight(entry) : std::vector<bool>(entry.have.size(), false);
        for (int piece = window.first; piece <= window.last; ++piece) {
            if (entry.have[std::size_t(piece)] || requested[std::size_t(piece)]
                || std::any_of(others.begin(), others.end(),
                    [piece](const auto &other) { return other->holds(piece); }))
                continue;
            onHandle(entry.handle, [&] {
                if (!hold) {
                    entry.handle.piece_priority(lt::piece_index_t(piece), lt::default_priority);
                    return;
                }
                entry.handle.reset_piece_deadline(lt::piece_index_t(piece));
                entry.handle.piece_priority(lt::piece_index_t(piece), lt::dont_download);
            });
        }
        window.last = window.first - 1;
    }

    static bool streamed(const Entry &entry)
    {
        return std::find(entry.priorities.begin(), entry.priorities.end(), lt::default_priority)
            != entry.priorities.end();
    }

    static std::vector<lt::download_priority_t> idlePieces(const Entry &entry)
    {
        return std::vector<lt::download_priority_t>(entry.have.size(), lt::dont_download);
    }

    // The video files in natural name order ("2" before "10"), pad files
    // and others left out.
    static std::vector<int> videoFiles(const Entry &entry)
    {
        const lt::file_storage &files = entry.info->files();
        std::vector<int> videos;
        for (const lt::file_index_t index : files.file_range()) {
            if (!files.pad_file_at(index) && files.file_size(index) > 0
                && isVideoName(files.file_path(index)))
                videos.push_back(static_cast<int>(index));
        }
        std::stable_sort(videos.begin(), videos.end(), [&](int a, int b) {
            return naturalLess(
                files.file_path(lt::file_index_t(a)), files.file_path(lt::file_index_t(b)));
        });
        return videos;
    }

    // The pieces a player reads first of a file: its first HeadBytes (the
    // container's header, and what a probe of the address reads) and its
    // last piece (an index written at the end).
    static std::vector<int> endPieces(const Entry &entry, int file)
    {
        const lt::file_storage &files = entry.info->files();
        const std::int64_t size = files.file_size(lt::file_index_t(file));
        const auto [first, last] = pieceSpan(entry, file);
        std::vector<int> pieces;
        const int head
            = int(files.map_file(lt::file_index_t(file), std::min(size, HeadBytes) - 1, 1).piece);
        for (int piece = first; piece <= head; ++piece)
            pieces.push_back(piece);
        if (last > head)
            pieces.push_back(last);
        return pieces;
    }

    // Starts fetching the ends of every video file of a resource nobody
    // streams yet, so that the first read of one does not wait for a peer.
    // Only with the bandwidth to spare: limited, nothing comes before what
    // the reader asks for. Mutex held.
    void warmUp(Entry &entry)
    {
        if (limited() || !entry.info || streamed(entry) || !entry.warm.empty())
            return;
        for (const int file : videoFiles(entry)) {
            for (const int piece : endPieces(entry, file)) {
                if (!entry.have[std::size_t(piece)])
                    entry.warm.push_back(piece);
            }
        }
        if (entry.warm.empty())
            return;
        // The files must not be at priority 0 (their pieces would go to the
        // part file): the piece priorities are set once the torrent has the
        // file priorities. The deadlines may go now, as the files' priorities
        // reach the storage before any block does.
        if (entry.filesSet)
            holdIdle(entry);
        else
            onHandle(entry.handle, [&] { entry.handle.prioritize_files(entry.priorities); });
        askWarm(entry);
    }

    // A video file read past most of its length: the next one in name
    // order starts fetching its ends, so that it plays at once. Mutex held.
    void fetchNext(Entry &entry, int file)
    {
        const std::vector<int> videos = videoFiles(entry);
        const auto at = std::find(videos.begin(), videos.end(), file);
        if (at == videos.end() || at + 1 == videos.end())
            return;
        for (const int piece : endPieces(entry, *(at + 1))) {
            if (!entry.have[std::size_t(piece)])
                entry.warm.push_back(piece);
        }
        askWarm(entry);
    }

    // A resource nobody streams keeps its peers connected but fetches
    // nothing but its warm pieces: the others get priority 0, so it is
    // merely not interested when those are there.
    // Upload mode would do the same, but some clients (Transmission) never
    // send again to a peer that switched it on and off. Mutex held.
    void holdIdle(Entry &entry)
    {
        if (!entry.info || streamed(entry))
            return;
        std::vector<lt::download_priority_t> pieces = idlePieces(entry);
        if (entry.filesSet) {
            for (const int piece : entry.warm)
                pieces[std::size_t(piece)] = lt::top_priority;
        }
        onHandle(entry.handle, [&] { entry.handle.prioritize_pieces(pieces); });
    }

    // Sets the torrent's priorities from the entry's: idle, or the files
    // streamed first and the rest low. Mutex held.
    void applyPriorities(Entry &entry)
    {
        if (!streamed(entry)) {
            holdIdle(entry);
            return;
        }
        onHandle(entry.handle, [&] { entry.handle.prioritize_files(entry.priorities); });
        layOut(entry);
    }

    // Lays the streams' windows and the warm pieces over the file priorities.
    // Mutex held.
    void layOut(Entry &entry)
    {
        if (limited()) {
            focus(entry);
            return;
        }
        if (entry.held)
            holdOutside(entry, 0, -1);
        renewWindows(entry);
        askWarm(entry);
    }

    // Without a limit a streamed file downloads in the background, but not
    // while a stream reads it: libtorrent lets a peer's queue grow with
    // every block that arrives in its first seconds, and with the whole file
    // to ask for each peer soon holds seconds of requests, behind which the
    // pieces a reader jumps to would wait. While streams read, only their
    // windows and the warm pieces are fetched; the rest follows a moment
    // after the last one closed (resumeBackground). Mutex held.
    void holdBackground(Entry &entry, int first, int last)
    {
        if (limited() || entry.held || !entry.info)
            return;
        entry.held = true;
        holdOutside(entry, first, last);
    }

    // Stops fetching the pieces outside the streams' windows, the warm ones,
    // the ends of the streamed files (a player reads the index there) and
    // those from `first` to `last` (about to be asked for): the pieces
    // wanted stay wanted throughout, so that no peer is told in between that
    // nothing it has is wanted (see activate). Mutex held.
    void holdOutside(Entry &entry, int first, int last)
    {
        std::vector<bool> keep = inFlight(entry);
        for (int piece = std::max(first, 0); piece <= last && piece < int(keep.size()); ++piece)
            keep[std::size_t(piece)] = true;
        std::vector<int> ends = entry.warm;
        for (int file = 0; file < int(entry.priorities.size()); ++file) {
            if (entry.priorities[std::size_t(file)] == lt::default_priority
                && entry.info->files().file_size(lt::file_index_t(file)) > 0) {
                const std::vector<int> pieces = endPieces(entry, file);
                ends.insert(ends.end(), pieces.begin(), pieces.end());
            }
        }
        for (const int piece : ends)
            keep[std::size_t(piece)] = true;
        for (const std::weak_ptr<ReadWindow> &held : entry.windows) {
            if (const auto window = held.lock()) {
                for (int piece = window->first; piece <= window->last; ++piece)
                    keep[std::size_t(piece)] = true;
            }
        }
        holdAllBut(entry, keep);
    }

    // Gives every missing piece that `keep` leaves out priority 0, in one
    // call. Mutex held.
    static void holdAllBut(Entry &entry, const std::vector<bool> &keep)
    {
        std::vector<std::pair<lt::piece_index_t, lt::download_priority_t>> pieces;
        for (std::size_t piece = 0; piece < entry.have.size(); ++piece) {
            if (!entry.have[piece] && !keep[piece])
                pieces.emplace_back(lt::piece_index_t(int(piece)), lt::dont_download);
        }
        onHandle(entry.handle, [&] { entry.handle.prioritize_pieces(pieces); });
    }

    // No stream read the file for a moment: the rest of it downloads again.
    // Mutex held.
    void resumeBackground(Entry &entry)
    {
        if (!entry.held || entry.pins > 0 || Clock::now() - entry.lastUsed < ResumeAfter)
            return;
        entry.held = false;
        // The held pieces get their files' priorities back piece by piece:
        // setting the unchanged file priorities again would leave them held.
        // The streamed files' pieces also get a deadline far off, so that
        // the torrent's list of deadlines stays filled while they download:
        // the next stream's first deadline would otherwise cancel their
        // requests in flight, which some clients (Transmission) never answer.
        std::vector<lt::download_priority_t> pieces(entry.have.size(), lt::dont_download);
        for (int file = 0; file < int(entry.priorities.size()); ++file) {
            const lt::download_priority_t priority = entry.priorities[std::size_t(file)];
            const auto [first, last] = pieceSpan(entry, file);
            for (int piece = first; piece <= last; ++piece) {
                pieces[std::size_t(piece)] = std::max(pieces[std::size_t(piece)], priority);
                if (priority == lt::default_priority && !entry.have[std::size_t(piece)]) {
                    onHandle(entry.handle, [&] {
                        entry.handle.set_piece_deadline(
                            lt::piece_index_t(piece), BackgroundDeadline);
                    });
                }
            }
        }
        onHandle(entry.handle, [&] { entry.handle.prioritize_pieces(pieces); });
        layOut(entry);
    }

    // A file is being streamed: the torrent leaves idle and the file gets the
    // higher priority. The explicit peers are asked again in case the torrent
    // let them go. Mutex held.
    void want(Entry &entry, int file)
    {
        if (file < 0 || std::size_t(file) >= entry.priorities.size()
            || entry.priorities[std::size_t(file)] == lt::default_priority)
            return;
        // The reader comes first: what was warmed for it is no longer asked.
        if (!streamed(entry))
            entry.warm.clear();
        entry.priorities[std::size_t(file)] = lt::default_priority;
        applyPriorities(entry);
        onHandle(entry.handle, [&] {
            for (const lt::tcp::endpoint &peer : peers)
                entry.handle.connect_peer(peer);
        });
    }

    bool fileComplete(const Entry &entry, int file) const
    {
        const lt::file_storage &files = entry.info->files();
        const std::int64_t size = files.file_size(lt::file_index_t(file));
        if (size == 0)
            return false;
        const int first = int(files.map_file(lt::file_index_t(file), 0, 0).piece);
        const int last = int(files.map_file(lt::file_index_t(file), size - 1, 1).piece);
        for (int piece = first; piece <= last; ++piece) {
            if (!entry.have[std::size_t(piece)])
                return false;
        }
        return true;
    }

    // Files complete now whose content hash is not known get it computed off
    // the I/O threads. Mutex held.
    void queueCompleted(const std::shared_ptr<Entry> &entry)
    {
        if (!entry->info)
            return;
        const lt::file_storage &files = entry->info->files();
        for (int file = 0; file < files.num_files(); ++file) {
            if (entry->hashed[std::size_t(file)] || files.pad_file_at(lt::file_index_t(file))
                || !fileComplete(*entry, file))
                continue;
            entry->hashed[std::size_t(file)] = true;
            const QString path = QString::fromStdString(
                files.file_path(lt::file_index_t(file), savePath(entry->hash)));
            std::lock_guard guard(hashMutex);
            hashJobs.push_back({ entry, file, path });
            hashWake.notify_one();
        }
    }

    void runHashes()
    {
        while (true) {
            HashJob job;
            {
                std::unique_lock guard(hashMutex);
                hashWake.wait(guard, [this] { return stopping || !hashJobs.empty(); });
                if (stopping)
                    return;
                job = std::move(hashJobs.front());
                hashJobs.pop_front();
            }
            try {
                const std::optional<FileRecord> record = store.file(job.entry->hash, job.file);
                if (!record)
                    continue;
                // Bytes that were verified before keep the content hash found then.
                QString content = record->content;
                if (content.isEmpty()) {
                    QFile file(job.path);
                    QCryptographicHash hash(QCryptographicHash::Sha1);
                    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
                        continue;
                    content = QString::fromLatin1(hash.result().toHex());
                }
                {
                    // Evicted meanwhile: the bytes are gone again.
                    std::lock_guard guard(mutex);
                    if (!job.entry->hashed[std::size_t(job.file)])
                        continue;
                }
                store.setSwarmContent(record->id, content);
            } catch (const std::exception &error) {
                fprintf(stderr, "tavrion-server: swarm: %s\n", error.what());
            }
        }
    }

    // Stores a resource whose metadata arrived, and saves the metadata so
    // the resource resumes from the cache after a restart.
    void storeMetadata(const QString &hash, const lt::torrent_info &info)
    {
        const QByteArray section(info.info_section().data(), int(info.info_section().size()));
        const QByteArray torrent = QByteArrayLiteral("d4:info") + section + QByteArrayLiteral("e");
        QDir().mkpath(options.cacheDir);
        QString error;
        if (!saveFileAtomically(torrentPath(hash), torrent, &error))
            fprintf(stderr, "tavrion-server: swarm: cannot save %s: %s\n",
                qPrintable(torrentPath(hash)), qPrintable(error));
        if (store.resourceExists(hash))
            return;
        const lt::file_storage &files = info.files();
        const QString top = QString::fromStdString(files.name());
        const QString prefix = top + QLatin1Char('/');
        QVector<FileRecord> records;
        for (const lt::file_index_t index : files.file_range()) {
            if (files.pad_file_at(index))
                continue;
            const QString path = QString::fromStdString(files.file_path(index));
            if (!isSafeRelativePath(path))
                continue;
            FileRecord record;
            record.index = static_cast<int>(index);
            record.name
                = files.num_files() > 1 && path.startsWith(prefix) ? path.mid(prefix.size()) : path;
            record.size = files.file_size(index);
            record.path = hash + QLatin1Char('/') + path;
            record.swarmId = swarmFileId(hash, record.index);
            record.jxhash = record.swarmId;
            records.append(record);
        }
        store.addResource(hash, QStringLiteral("swarm"), top, records);
    }

    void refreshPieces(const std::shared_ptr<Entry> &entry, const lt::torrent_handle &handle)
    {
        lt::torrent_status status;
        try {
            status = handle.status(lt::torrent_handle::query_pieces);
        } catch (const std::exception &) {
            return;
        }
        std::vector<std::function<void()>> waiters;
        {
            std::lock_guard guard(mutex);
            if (!entry->info || status.pieces.size() != int(entry->have.size()))
                return;
            for (int piece = 0; piece < status.pieces.size(); ++piece)
                entry->have[std::size_t(piece)] = status.pieces.get_bit(lt::piece_index_t(piece));
            queueCompleted(entry);
            waiters = takeWaiters(*entry);
        }
        call(waiters);
    }

    std::shared_ptr<Entry> find(const lt::sha1_hash &hash)
    {
        const auto found = entries.find(hexOf(hash));
        return found == entries.end() ? nullptr : found->second;
    }

    void handleAlert(lt::alert *alert)
    {
        if (auto *added = lt::alert_cast<lt::add_torrent_alert>(alert)) {
            std::shared_ptr<Entry> entry;
            {
                std::lock_guard guard(mutex);
                entry = find(added->params.info_hashes.v1);
                if (!entry)
                    return;
                entry->adding = false;
                if (added->error) {
                    fprintf(stderr, "tavrion-server: swarm: cannot add %s: %s\n",
                        qPrintable(entry->hash), added->error.message().c_str());
                    return;
                }
                entry->handle = added->handle;
                entry->filesSet = bool(entry->info);
                onHandle(entry->handle, [&] {
                    for (const lt::tcp::endpoint &peer : peers)
                        entry->handle.connect_peer(peer);
                    entry->handle.resume();
                });
                if (entry->info)
                    applyPriorities(*entry);
            }
            refreshPieces(entry, added->handle);
        } else if (auto *metadata = lt::alert_cast<lt::metadata_received_alert>(alert)) {
            std::shared_ptr<const lt::torrent_info> info;
            try {
                info = metadata->handle.torrent_file();
            } catch (const std::exception &) {
            }
            if (!info)
                return;
            const QString hash = hexOf(info->info_hashes().v1);
            {
                // Before the slow store: the torrent fetches by default once it
                // has the metadata.
                std::lock_guard guard(mutex);
                const std::shared_ptr<Entry> entry = find(info->info_hashes().v1);
                if (!entry)
                    return;
                if (!entry->info)
                    setInfo(*entry, info);
                // The ends of the video files first, so that the torrent is
                // never left with nothing to fetch in between (see activate).
                warmUp(*entry);
                if (entry->warm.empty())
                    applyPriorities(*entry);
            }
            bool stored = false;
            try {
                storeMetadata(hash, *info);
                stored = true;
            } catch (const std::exception &error) {
                fprintf(stderr, "tavrion-server: swarm: %s\n", error.what());
            }
            std::vector<std::function<void()>> waiters;
            {
                std::lock_guard guard(mutex);
                const std::shared_ptr<Entry> entry = find(info->info_hashes().v1);
                if (!entry)
                    return;
                entry->stored = entry->stored || stored;
                waiters = takeWaiters(*entry);
            }
            call(waiters);
        } else if (auto *finished = lt::alert_cast<lt::piece_finished_alert>(alert)) {
            std::vector<std::function<void()>> waiters;
            {
                std::lock_guard guard(mutex);
                const std::shared_ptr<Entry> entry = find(finished->handle.info_hashes().v1);
                const std::size_t piece = std::size_t(static_cast<int>(finished->piece_index));
                if (!entry || piece >= entry->have.size())
                    return;
                entry->have[piece] = true;
                queueCompleted(entry);
                waiters = takeWaiters(*entry);
            }
            call(waiters);
        } else if (auto *filesSet = lt::alert_cast<lt::file_prio_alert>(alert)) {
            // File priorities reach the pieces once the disk thread has them,
            // possibly after the streams' windows were laid out.
            std::vector<std::function<void()>> waiters;
            {
                std::lock_guard guard(mutex);
                const std::shared_ptr<Entry> entry = find(filesSet->handle.info_hashes().v1);
                if (!entry)
                    return;
                entry->filesSet = true;
                if (!streamed(*entry))
                    holdIdle(*entry);
                else
                    layOut(*entry);
                // Streams waiting for a piece ask for their windows again.
                waiters = takeWaiters(*entry);
            }
            call(waiters);
        } else if (auto *checked = lt::alert_cast<lt::torrent_checked_alert>(alert)) {
            std::shared_ptr<Entry> entry;
            {
                std::lock_guard guard(mutex);
                entry = find(checked->handle.info_hashes().v1);
            }
            if (entry)
                refreshPieces(entry, checked->handle);
        } else if (lt::alert_cast<lt::alerts_dropped_alert>(alert)) {
            // A full alert queue may have lost piece alerts: a stream waiting
            // for such a piece would wait for good. The pieces are read back
            // from the torrents.
            std::vector<std::pair<std::shared_ptr<Entry>, lt::torrent_handle>> active;
            {
                std::lock_guard guard(mutex);
                for (const auto &[hash, entry] : entries) {
                    if (entry->handle.is_valid())
                        active.emplace_back(entry, entry->handle);
                }
            }
            for (const auto &[entry, handle] : active)
                refreshPieces(entry, handle);
        } else if (auto *deleted = lt::alert_cast<lt::torrent_deleted_alert>(alert)) {
            finishEviction(deleted->info_hashes.v1);
        } else if (auto *failed = lt::alert_cast<lt::torrent_delete_failed_alert>(alert)) {
            fprintf(stderr, "tavrion-server: swarm: %s\n", failed->message().c_str());
            finishEviction(failed->info_hashes.v1);
        } else if (alert->category() & lt::alert_category::error) {
            fprintf(stderr, "tavrion-server: swarm: %s\n", alert->message().c_str());
        }
    }

    void finishEviction(const lt::sha1_hash &hash)
    {
        std::lock_guard guard(mutex);
        const std::shared_ptr<Entry> entry = find(hash);
        if (!entry || !entry->evicting)
            return;
        entry->evicting = false;
        std::error_code ignored;
        std::filesystem::remove_all(savePath(entry->hash), ignored);
        if (entry->wantActive) {
            entry->wantActive = false;
            activate(*entry);
        }
    }

    // A read beyond the start of the torrent or past a missing piece (a seek,
    // a resumed play, a later file): index order would fetch what lies before
    // it ahead of what it waits for. Mutex held.
    void endInOrder(Entry &entry)
    {
        if (!entry.inOrder)
            return;
        entry.inOrder = false;
        onHandle(entry.handle,
            [&] { entry.handle.unset_flags(lt::torrent_flags::sequential_download); });
    }

    static int firstMissing(const Entry &entry)
    {
        return int(std::find(entry.have.begin(), entry.have.end(), false) - entry.have.begin());
    }

    // Takes a resource's bytes out of the cache. Mutex held.
    void evict(const QString &hash)
    {
        const auto found = entries.find(hash);
        if (found != entries.end()) {
            Entry &entry = *found->second;
            if (entry.handle.is_valid()) {
                entry.evicting = true;
                session->remove_torrent(entry.handle, lt::session::delete_files);
                entry.handle = lt::torrent_handle();
            }
            std::fill(entry.have.begin(), entry.have.end(), false);
            std::fill(entry.hashed.begin(), entry.hashed.end(), false);
            std::fill(entry.priorities.begin(), entry.priorities.end(), lt::low_priority);
            entry.warm.clear();
            entry.filesSet = false;
            entry.held = false;
            entry.inOrder = false;
            if (entry.evicting)
                return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(savePath(hash), ignored);
    }

    // Keeps the cache folder within its bound: resources streamed longest
    // ago go first; one being streamed stays whatever its size.
    void trimCache()
    {
        struct Held
        {
            QString hash;
            std::int64_t bytes = 0;
            Clock::time_point used;
        };
        std::vector<Held> held;
        std::int64_t total = 0;
        const QDir cache(options.cacheDir);
        for (const QString &name : cache.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (!isInfoHash(name))
                continue;
            const std::int64_t bytes = diskUsage(cache.filePath(name).toStdString());
            total += bytes;
            const auto age = std::chrono::milliseconds(QFileInfo(cache.filePath(name))
                                                           .lastModified()
                                                           .msecsTo(QDateTime::currentDateTime()));
            held.push_back({ name, bytes, Clock::now() - age });
        }
        if (total <= options.cacheBytes)
            return;
        QStringList evicted;
        {
            std::lock_guard guard(mutex);
            for (Held &item : held) {
                const auto found = entries.find(item.hash);
                if (found != entries.end())
                    item.used = found->second->lastUsed;
            }
            std::sort(held.begin(), held.end(),
                [](const Held &a, const Held &b) { return a.used < b.used; });
            for (const Held &item : held) {
                if (total <= options.cacheBytes)
                    break;
                const auto found = entries.find(item.hash);
                if (found != entries.end()
                    && (found->second->pins > 0 || found->second->evicting
                        || found->second->adding))
                    continue;
                evict(item.hash);
                evicted.append(item.hash);
                total -= item.bytes;
            }
        }
        for (const QString &hash : evicted) {
            try {
                store.clearSwarmContent(hash);
            } catch (const std::exception &error) {
                fprintf(stderr, "tavrion-server: swarm: %s\n", error.what());
            }
        }
    }

    // Resumes the background download of the files no stream read for a
    // moment.
    void resumeBackgrounds()
    {
        std::lock_guard guard(mutex);
        for (const auto &[hash, entry] : entries)
            resumeBackground(*entry);
    }

    // Refreshes the figures of every resource in the session and writes the
    // table the admin command reads.
    void publishStatus()
    {
        std::vector<std::pair<std::shared_ptr<Entry>, lt::torrent_handle>> active;
        {
            std::lock_guard guard(mutex);
            const auto now = Clock::now();
            for (auto it = entries.begin(); it != entries.end();) {
                Entry &entry = *it->second;
                // Hashes asked about once and never resolved do not stay.
                if (!entry.info && entry.pins == 0 && now - entry.lastUsed > PendingLifetime) {
                    if (entry.handle.is_valid())
                        session->remove_torrent(entry.handle);
                    call(takeWaiters(entry));
                    it = entries.erase(it);
                    continue;
                }
                if (entry.handle.is_valid())
                    active.emplace_back(it->second, entry.handle);
                ++it;
            }
        }
        for (auto &[entry, handle] : active) {
            lt::torrent_status status;
            try {
                status = handle.status();
            } catch (const std::exception &) {
                continue;
            }
            std::lock_guard guard(mutex);
            entry->state = status.state;
            // Of the whole torrent: libtorrent's own figure counts only the
            // pieces wanted now, all of them (none) while idle.
            const std::int64_t size = entry->info ? entry->info->total_size() : 0;
            entry->progress = size > 0 ? double(status.total_done) / double(size) : 0.0;
            entry->peers = status.num_peers;
            entry->downloadRate = status.download_payload_rate;
            entry->uploadRate = status.upload_payload_rate;
        }
        QJsonArray list;
        {
            std::lock_guard guard(mutex);
            for (const auto &[hash, entry] : entries) {
                const bool active = entry->handle.is_valid();
                QString state = QStringLiteral("idle");
                if (entry->evicting)
                    state = QStringLiteral("evicting");
                else if (active && !entry->info)
                    state = QStringLiteral("metadata");
                else if (active && entry->state == lt::torrent_status::checking_files)
                    state = QStringLiteral("checking");
                else if (active)
                    state = QStringLiteral("active");
                list.append(QJsonObject { { QStringLiteral("hash"), hash },
                    { QStringLiteral("state"), state },
                    { QStringLiteral("progress"), active ? entry->progress : 0.0 },
                    { QStringLiteral("peers"), active ? entry->peers : 0 },
                    { QStringLiteral("download"), active ? entry->downloadRate : 0 },
                    { QStringLiteral("upload"), active ? entry->uploadRate : 0 },
                    { QStringLiteral("streams"), entry->pins } });
            }
        }
        const QJsonObject table { { QStringLiteral("updated"),
                                      double(QDateTime::currentSecsSinceEpoch()) },
            { QStringLiteral("resources"), list } };
        saveFileAtomically(options.statusPath, QJsonDocument(table).toJson(QJsonDocument::Compact));
    }

    void runAlerts()
    {
        auto nextTick = Clock::now();
        while (!stopping) {
            session->wait_for_alert(std::chrono::milliseconds(250));
            std::vector<lt::alert *> alerts;
            session->pop_alerts(&alerts);
            for (lt::alert *alert : alerts) {
                try {
                    handleAlert(alert);
                } catch (const std::exception &error) {
                    fprintf(stderr, "tavrion-server: swarm: %s\n", error.what());
                }
            }
            if (Clock::now() >= nextTick) {
                nextTick = Clock::now() + std::chrono::seconds(1);
                resumeBackgrounds();
                publishStatus();
                trimCache();
            }
        }
    }
};

namespace {

// The bytes of one swarm file as its pieces arrive. Asks for the pieces
// ahead of the byte being sent first, and holds the resource in the cache.
class SwarmSource : public BodySource
{
public:
    SwarmSource(
        std::shared_ptr<Swarm::Core> core, std::shared_ptr<Entry> entry, int file, QString path)
        : m_core(std::move(core))
        , m_entry(std::move(entry))
        , m_file(file)
        , m_path(std::move(path))
    {
    }
    ~SwarmSource() override
    {
        std::lock_guard guard(m_core->mutex);
        --m_entry->pins;
        m_entry->lastUsed = Clock::now();
        if (!m_entry->info)
            return;
        if (m_entry->pins == 0 && m_entry->near && m_entry->handle.is_valid())
            onHandle(
                m_entry->handle, [&] { NearPeers::readOn(m_entry->handle, m_entry->near, {}); });
        m_core->release(*m_entry, *m_window);
        // The stream that had overtaken the others is gone: they take the
        // bandwidth back.
        if (!m_window->overtaken) {
            for (const std::weak_ptr<ReadWindow> &held : m_entry->windows) {
                if (const auto window = held.lock())
                    window->overtaken = false;
            }
        }
    }

    std::int64_t available(
        std::int64_t offset, std::int64_t wanted, std::function<void()> wake) override
    {
        std::int64_t ready = 0;
        {
            std::lock_guard guard(m_core->mutex);
            Entry &entry = *m_entry;
            m_core->activate(entry);
            if (!entry.info || !entry.handle.is_valid()) {
                entry.waiters.push_back(std::move(wake));
                return 0;
            }
            m_core->want(entry, m_file);
            const lt::file_storage &files = entry.info->files();
            if (m_file >= files.num_files())
                return -1;
            const std::int64_t pieceLength = files.piece_length();
            const std::int64_t start = files.file_offset(lt::file_index_t(m_file)) + offset;
            const std::int64_t fileEnd = files.file_offset(lt::file_index_t(m_file))
                + files.file_size(lt::file_index_t(m_file));
            const int piece = int(start / pieceLength);
            if (entry.inOrder && (start >= NearBytes || piece > m_core->firstMissing(entry) + 1))
                m_core->endInOrder(entry);
            if (!m_nextAsked && offset * 10 > files.file_size(lt::file_index_t(m_file)) * 8) {
                m_nextAsked = true;
                m_core->fetchNext(entry, m_file);
            }
            if (m_firstStart < 0) {
                m_firstStart = start;
                m_since = Clock::now();
            }
            if (m_readPiece >= 0 && piece > m_readPiece)
                m_readAhead = std::min(
                    m_readAhead * 2, m_core->limited() ? ReadAheadBytes : streamAhead(start));
            if (piece != m_readPiece && !m_core->limited()) {
                m_core->holdBackground(
                    entry, piece, int((std::min(fileEnd, start + m_readAhead) - 1) / pieceLength));
                hurryNext(entry, piece, int((fileEnd - 1) / pieceLength), pieceLength);
            }
            m_readPiece = piece;
            askAhead(entry, start, std::min(fileEnd, start + m_readAhead), pieceLength);
            std::int64_t at = start;
            const std::int64_t end = std::min(fileEnd, start + wanted);
            while (at < end && entry.have[std::size_t(at / pieceLength)]) {
                const std::int64_t pieceEnd = (at / pieceLength + 1) * pieceLength;
                ready += std::min(pieceEnd, end) - at;
                at = std::min(pieceEnd, end);
            }
            if (ready == 0) {
                entry.waiters.push_back(std::move(wake));
                return 0;
            }
        }
        if (!m_open) {
            m_open = std::make_unique<OpenFile>(m_path.toStdString());
            if (m_open->fd() < 0)
                return -1;
        }
        return ready;
    }

    int fd() const override { return m_open ? m_open->fd() : -1; }
    std::chrono::milliseconds waitLimit() const override { return m_core->options.stallLimit; }

private:
    // Without a limit: how far ahead of `start` pieces are fetched. A reader
    // that takes the bytes as fast as they come (a download) gets two seconds
    // of its pace, so that the swarm is not held to what a player's window
    // keeps in flight.
    std::int64_t streamAhead(std::int64_t start) const
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - m_since).count();
        const auto pace = seconds < 0.5 ? 0 : std::int64_t(double(start - m_firstStart) / seconds);
        return std::max(StreamAheadBytes, 2 * pace);
    }

    // Asks for the pieces from the one holding `start` up to `end`, earliest
    // first (deadlines, or without a limit priorities); each piece is asked
    // for once while it stays in the window. With the bandwidth short, the newest stream of a
    // resource is the one being watched (a seek opens a new range while the old one may linger): it
    // overtakes the older streams, which keep only the piece they need next.
    void askAhead(Entry &entry, std::int64_t start, std::int64_t end, std::int64_t pieceLength)
    {
        ReadWindow &window = *m_window;
        if (!m_asked) {
            m_asked = true;
            entry.windows.push_back(m_window);
            if (m_core->limited()) {
                std::vector<std::shared_ptr<ReadWindow>> others;
                for (const std::weak_ptr<ReadWindow> &held : entry.windows) {
                    const auto other = held.lock();
                    if (other && other != m_window && !other->overtaken)
                        others.push_back(other);
                }
                for (const auto &other : others) {
                    other->overtaken = true;
                    m_core->release(entry, *other);
                }
            }
        }
        const int first = int(start / pieceLength);
        int last = int((std::max(start, end - 1)) / pieceLength);
        if (window.overtaken)
            last = first;
        if (first < window.first || first > window.last + 1)
            window.first = first;
        const int from = std::max(first, window.last + 1);
        for (int piece = from; piece <= last; ++piece) {
            if (entry.have[std::size_t(piece)])
                continue;
            const int ahead = piece - first;
            onHandle(entry.handle, [&] {
                if (m_core->limited()) {
                    entry.handle.set_piece_deadline(lt::piece_index_t(piece), ahead * 100);
                    return;
                }
                entry.handle.piece_priority(lt::piece_index_t(piece), priorityAhead(ahead));
            });
        }
        window.last = std::max(window.last, last);
    }

    // The two pieces the reader needs next get deadlines as it comes to them:
    // a late piece with a deadline is asked of another peer as well, so a
    // peer that stopped answering (or a slow one) holds the stream up only a
    // moment. The pieces after them get priorities falling with distance:
    // once a second libtorrent hands the free blocks of pieces due soon to
    // every peer, far and slow ones too, while NearPeers keeps those from the
    // blocks needed soon. Without a limit only; limited, the whole window has
    // deadlines.
    void hurryNext(Entry &entry, int piece, int lastPiece, std::int64_t pieceLength)
    {
        const int count = int(std::max<std::int64_t>(1, NearBytes / pieceLength));
        if (entry.near) {
            const lt::file_storage &files = entry.info->files();
            NearPeers::Reading reading;
            reading.piece = piece;
            for (int next = piece; next <= std::min(lastPiece, piece + count - 1); ++next)
                reading.missing.push_back(!entry.have[std::size_t(next)]);
            reading.pieceBytes = int(pieceLength);
            reading.lastPiece = files.num_pieces() - 1;
            reading.lastPieceBytes = files.piece_size(lt::piece_index_t(reading.lastPiece));
            reading.bytesPerSecond = NearBytesPerSecond;
            onHandle(entry.handle,
                [&] { NearPeers::readOn(entry.handle, entry.near, std::move(reading)); });
        }
        for (int next = piece; next <= std::min(lastPiece, piece + count - 1); ++next) {
            if (entry.have[std::size_t(next)])
                continue;
            onHandle(entry.handle, [&] {
                if (next - piece < HurriedPieces) {
                    entry.handle.set_piece_deadline(lt::piece_index_t(next),
                        int((next - piece) * pieceLength * 1000 / NearBytesPerSecond));
                    return;
                }
                // Far off, beyond what libtorrent's pass looks at, but in
                // its list of deadlines: should the list run empty, the
                // next deadline would cancel the requests in flight.
                entry.handle.set_piece_deadline(lt::piece_index_t(next), BackgroundDeadline);
                entry.handle.piece_priority(lt::piece_index_t(next), priorityAhead(next - piece));
            });
        }
    }

    std::shared_ptr<Swarm::Core> m_core;
    std::shared_ptr<Entry> m_entry;
    int m_file;
    QString m_path;
    std::unique_ptr<OpenFile> m_open;
    std::shared_ptr<ReadWindow> m_window = std::make_shared<ReadWindow>();
    bool m_asked = false;
    bool m_nextAsked = false;
    int m_readPiece = -1;
    std::int64_t m_firstStart = -1; // where the stream's first read was, and when
    Clock::time_point m_since;
    std::int64_t m_readAhead = m_core->limited() ? FirstReadAheadBytes : StreamAheadBytes;
};

} // namespace

Swarm::Swarm(Store &store, SwarmOptions options)
    : d(std::make_shared<Core>(store, std::move(options)))
{
}

Swarm::~Swarm()
{
    stop();
}

const SwarmOptions &Swarm::options() const
{
    return d->options;
}

bool Swarm::start(QString *error)
{
    for (const QString &peer : d->options.peers) {
        std::string host;
        int port = 0;
        lt::error_code code;
        const lt::address address
            = splitAddress(peer, &host, &port) ? lt::make_address(host, code) : lt::address();
        if (host.empty() || code || port <= 0) {
            *error = QStringLiteral("not a peer address: %1").arg(peer);
            return false;
        }
        d->peers.emplace_back(address, std::uint16_t(port));
    }
    if (!QDir().mkpath(d->options.cacheDir)) {
        *error = QStringLiteral("cannot make %1").arg(d->options.cacheDir);
        return false;
    }

    lt::settings_pack pack;
    pack.set_str(lt::settings_pack::listen_interfaces, d->options.listen.toStdString());
    pack.set_int(lt::settings_pack::alert_mask,
        int(lt::alert_category::status | lt::alert_category::error | lt::alert_category::storage
            | lt::alert_category::piece_progress));
    const bool open = d->options.dht;
    pack.set_bool(lt::settings_pack::enable_dht, open);
    pack.set_bool(lt::settings_pack::enable_lsd, open);
    pack.set_bool(lt::settings_pack::enable_upnp, open);
    pack.set_bool(lt::settings_pack::enable_natpmp, open);
    pack.set_bool(lt::settings_pack::enable_incoming_utp, open);
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, open);
    // A resource nobody streams yet has nothing to fetch; its peers stay
    // connected for when someone does.
    pack.set_bool(lt::settings_pack::close_redundant_connections, false);
    // A peer that closed the connection (one still loading the torrent, or
    // restarting) is tried again after 5 s rather than a minute: a player
    // cannot wait that long. Peers that cannot be reached still count
    // failures, wait longer each time and are given up after a few.
    pack.set_int(lt::settings_pack::min_reconnect_time, 5);
    // The first pieces are the reader's, not random ones: libtorrent
    // otherwise picks its first four pieces at random whatever their
    // priority.
    pack.set_int(lt::settings_pack::initial_picker_threshold, 0);
    // Peers behind one address (one NAT, or loopback) are told apart by port.
    pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    pack.set_int(lt::settings_pack::download_rate_limit,
        int(std::min<std::int64_t>(d->options.downloadLimit, INT32_MAX)));
    // Short queues at the peers, so that a piece a stream needs now (after a
    // seek, or one with a deadline) is not sent behind seconds of pieces
    // asked for earlier. A second of a peer's rate still covers a round trip
    // of several hundred milliseconds.
    pack.set_int(lt::settings_pack::request_queue_time, 1);
    // libtorrent's quick start grows a fast peer's queue well past that
    // second (seen: 140 blocks, 2 MB).
    pack.set_int(lt::settings_pack::max_out_request_queue, NearPeers::MostRequests);
    if (d->options.downloadLimit > 0) {
        // The quota is handed out once a tick: a short one hands it out in
        // small steps rather than in bursts.
        pack.set_int(lt::settings_pack::tick_interval, 100);
    }
    lt::session_params params(std::move(pack));
    // Writes reach the file before the piece is verified, so a verified
    // piece can be sent from the file at once.
    params.disk_io_constructor = lt::posix_disk_io_constructor;
    try {
        d->session = std::make_unique<lt::session>(std::move(params));
    } catch (const std::exception &failure) {
        *error = QString::fromLocal8Bit(failure.what());
        return false;
    }
    if (d->options.downloadLimit > 0) {
        // Peers on the local network are exempt from limits unless told.
        lt::ip_filter classes;
        const std::uint32_t global = 1u
            << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
        classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
        classes.add_rule(lt::make_address("::"),
            lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
        d->session->set_peer_class_filter(classes);
    }
    d->alertThread = std::thread([core = d] { core->runAlerts(); });
    d->hashThread = std::thread([core = d] { core->runHashes(); });
    return true;
}

void Swarm::stop()
{
    if (d->stopping.exchange(true))
        return;
    {
        std::lock_guard guard(d->hashMutex);
        d->hashWake.notify_all();
    }
    if (d->alertThread.joinable())
        d->alertThread.join();
    if (d->hashThread.joinable())
        d->hashThread.join();
    {
        std::lock_guard guard(d->mutex);
        d->session.reset();
    }
    QFile::remove(d->options.statusPath);
}

void Swarm::fetchMetadata(const QString &hash, std::function<void()> wake)
{
    bool known = false;
    {
        std::lock_guard guard(d->mutex);
        if (d->stopping)
            return;
        const std::shared_ptr<Entry> entry = d->entryFor(hash);
        entry->lastUsed = Clock::now();
        known = entry->stored;
        if (known && entry->info) {
            // Someone is about to play it: its peers and the ends of its
            // video files are wanted now.
            d->activate(*entry);
            d->warmUp(*entry);
        }
        if (!known) {
            // Requests that gave up leave their wake calls behind: a long list
            // is woken (they wait again if they still can) rather than grow.
            if (entry->waiters.size() >= 256)
                Core::call(Core::takeWaiters(*entry));
            entry->waiters.push_back(wake);
            d->activate(*entry);
        }
    }
    if (known)
        wake();
}

bool Swarm::storeSaved(const QString &hash)
{
    std::shared_ptr<const lt::torrent_info> info;
    {
        std::lock_guard guard(d->mutex);
        info = d->entryFor(hash)->info;
    }
    if (!info)
        return false;
    d->storeMetadata(hash, *info);
    std::lock_guard guard(d->mutex);
    d->entryFor(hash)->stored = true;
    return true;
}

std::shared_ptr<BodySource> Swarm::open(const FileRecord &file)
{
    std::lock_guard guard(d->mutex);
    if (d->stopping)
        return nullptr;
    const std::shared_ptr<Entry> entry = d->entryFor(file.resource);
    ++entry->pins;
    entry->lastUsed = Clock::now();
    if (entry->info)
        d->want(*entry, int(file.index));
    d->activate(*entry);
    return std::make_shared<SwarmSource>(
        d, entry, int(file.index), QDir(d->options.cacheDir).filePath(file.path));
}
