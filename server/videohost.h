#pragma once

#include "byterange.h"

#include <cstdint>
#include <optional>
#include <string>

struct FileRecord;
struct HttpRequest;
struct HttpResponse;
class LocalCopies;
class OpenFile;
class QString;
class Store;
class Swarm;

// How a host listener behaves. Slow and wrong hosts exist so that the
// client's host probes can be exercised against real listeners.
enum class HostMode {
    Normal,
    Slow, // waits before answering
    Wrong, // answers a length one byte short of the file
};

// Serves "/ftn_handler/<code>": the file behind a live code, only to a
// request that carries the code's cookie; streamed from disk with range support.
// The request's capture is the code.
class VideoHost
{
public:
    VideoHost(Store &store, HostMode mode, int slowMilliseconds = 1500);
    // Files of swarm resources are streamed through the swarm as their
    // pieces arrive; without one they are not served.
    void setSwarm(Swarm *swarm) { m_swarm = swarm; }
    // A host node serves only whole copies it holds: a file of another size
    // (still being copied, or another version), one whose real path leaves
    // the library folder, or one changed since the node found it whose
    // bytes are no longer the library's is treated as missing; swarm files
    // go through the swarm, as without copies.
    void setLocalCopies(LocalCopies *copies) { m_copies = copies; }
    // Answers from the codes held in memory; false when the database has to
    // be asked.
    bool handleQuickly(const HttpRequest &request, HttpResponse &response);
    void handle(const HttpRequest &request, HttpResponse &response);

private:
    // False when answering needs blocking work that mayBlock forbids.
    bool answer(const HttpRequest &request, HttpResponse &response, const FileRecord &file,
        const QString &cookie, bool mayBlock);
    enum class Copy { Good, Missing, Unchecked };
    Copy checkCopy(const OpenFile &opened, const FileRecord &file, bool mayBlock);

    Store &m_store;
    HostMode m_mode;
    int m_slowMilliseconds;
    Swarm *m_swarm = nullptr;
    LocalCopies *m_copies = nullptr;
};
