#pragma once

#include "testhttpserver.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Serves one file over HTTP on 127.0.0.1, as a video host does: any path
// gives the file, with Range support (206, 416 past the end), optionally only
// to requests that carry the right Cookie header. It runs on threads of its
// own, so it answers while the test's thread is busy, and it records the
// headers of every request.
class MediaServer
{
public:
    enum class Answer {
        File, // the file (403 when a required cookie is missing or wrong)
        Forbidden, // 403 for every request
        NotFound, // 404 for every request
        Hang, // read the request, never answer
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;
        TestHttpHeaders headers; // in the order received
        // First value of a header, compared without case; empty when absent.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
    };

    explicit MediaServer(const QString &filePath);
    ~MediaServer();
    MediaServer(const MediaServer &) = delete;
    MediaServer &operator=(const MediaServer &) = delete;

    // Listens on a free port; false when the file cannot be read or the
    // socket cannot be set up.
    bool start();
    // Closes every connection, silent ones included, and stops listening.
    void stop();
    quint16 port() const { return m_port; }
    // "http://127.0.0.1:<port><path>"
    QString url(const QString &path = QStringLiteral("/ftn_handler/sample")) const;

    // The exact Cookie header value a request needs; empty: none needed.
    void setRequiredCookie(const QByteArray &cookie);
    void setAnswer(Answer answer);
    // After the first freeBytes of each answer, send at most bytesPerSecond
    // (0: no limit).
    void setThrottle(int bytesPerSecond, qint64 freeBytes = 0);

    QList<Request> requests() const;
    int requestCount() const;

    // A loopback address where nothing listens: connections are refused.
    static QString refusedUrl();

private:
    void acceptLoop();
    void serveConnection(int fd);
    bool answer(int fd, const Request &request);
    bool sendAll(int fd, const char *data, qint64 size, qint64 throttleFrom);
    void waitForClose(int fd);

    QByteArray m_file;
    QString m_filePath;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::vector<std::thread> m_connections;
    std::vector<int> m_openFds;
    QList<Request> m_requests;
    QByteArray m_cookie;
    Answer m_answer = Answer::File;
    int m_bytesPerSecond = 0;
    qint64 m_freeBytes = 0;
};

// Short media made with ffmpeg for tests.
namespace TestMedia {
constexpr int LeftToneHz = 440;
constexpr int RightToneHz = 1000;

struct Options
{
    int seconds = 3;
    int width = 320;
    int height = 180;
    int rate = 25;
    // The frame number in large digits at the top left, so that pictures
    // taken at different times tell the frames apart.
    bool frameCounter = false;
    // Noise in the picture makes it incompressible, so the file really has
    // this bit rate (kbit/s); 0 leaves the picture clean and small.
    int noisyVideoKbps = 0;
};

// Writes an MP4 (H.264 test pattern, index at the front; AAC stereo with a
// LeftToneHz tone on the left and a RightToneHz tone on the right) into
// the directory. Returns its path, or an empty text when ffmpeg fails.
QString makeVideo(const QString &directory, const QString &name, const Options &options = {});

// Makes the MP4's header state a length `extraMilliseconds` longer than its
// streams run, as some muxers write it. False when the file has no header
// it understands.
bool lengthenStatedDuration(const QString &path, int extraMilliseconds);

// An SRT subtitle of about `size` bytes, one short line a second.
QByteArray longSubtitle(int size);
} // namespace TestMedia
