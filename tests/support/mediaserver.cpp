#include "mediaserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTime>
#include <QtEndian>

#include <algorithm>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
QByteArray statusLine(int status)
{
    switch (status) {
    case 200:
        return "HTTP/1.1 200 OK\r\n";
    case 206:
        return "HTTP/1.1 206 Partial Content\r\n";
    case 403:
        return "HTTP/1.1 403 Forbidden\r\n";
    case 404:
        return "HTTP/1.1 404 Not Found\r\n";
    default:
        return "HTTP/1.1 416 Range Not Satisfiable\r\n";
    }
}
} // namespace

QByteArray MediaServer::Request::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0) {
            return field.second;
        }
    }
    return {};
}

bool MediaServer::Request::hasHeader(const QByteArray &name) const
{
    return std::any_of(headers.begin(), headers.end(),
        [&](const auto &field) { return field.first.compare(name, Qt::CaseInsensitive) == 0; });
}

MediaServer::MediaServer(const QString &filePath)
    : m_filePath(filePath)
{
}

MediaServer::~MediaServer()
{
    stop();
}

bool MediaServer::start()
{
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    m_file = file.readAll();
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        return false;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(m_listenFd, 64) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void MediaServer::stop()
{
    if (m_listenFd < 0) {
        return;
    }
    m_stopping = true;
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_openFds) {
            ::shutdown(fd, SHUT_RDWR);
        }
        connections.swap(m_connections);
    }
    for (std::thread &connection : connections) {
        connection.join();
    }
}

QString MediaServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void MediaServer::setRequiredCookie(const QByteArray &cookie)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cookie = cookie;
}

void MediaServer::setAnswer(Answer answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer = answer;
}

void MediaServer::setThrottle(int bytesPerSecond, qint64 freeBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytesPerSecond = bytesPerSecond;
    m_freeBytes = freeBytes;
}

QList<MediaServer::Request> MediaServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int MediaServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

QString MediaServer::refusedUrl()
{
    // A port the system just handed out and nobody listens on any more.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1/ftn_handler/refused").arg(port);
}

void MediaServer::acceptLoop()
{
    while (!m_stopping) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (m_stopping || (errno != EINTR && errno != ECONNABORTED)) {
                return;
            }
            continue;
        }
        // Small header writes must not wait for the peer's delayed ack.
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_openFds.push_back(fd);
        m_connections.emplace_back([this, fd] { serveConnection(fd); });
    }
}

void MediaServer::serveConnection(int fd)
{
    QByteArray buffer;
    bool open = true;
    while (open && !m_stopping) {
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            char chunk[4096];
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                break;
            }
            buffer.append(chunk, int(got));
            continue;
        }
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        Request request;
        const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
        request.method = words.value(0);
        request.target = words.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.append(
                    { line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.append(request);
        }
        open = answer(fd, request)
            && request.header("Connection").compare("close", Qt::CaseInsensitive) != 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    ::close(fd);
}

bool MediaServer::answer(int fd, const Request &request)
{
    Answer mode;
    QByteArray cookie;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_answer;
        cookie = m_cookie;
    }
    if (mode == Answer::Hang) {
        waitForClose(fd);
        return false;
    }
    int status = 200;
    if (mode == Answer::NotFound) {
        status = 404;
    } else if (mode == Answer::Forbidden
        || (!cookie.isEmpty() && request.header("Cookie") != cookie)) {
        status = 403;
    }
    QByteArray head;
    const qint64 size = m_file.size();
    qint64 first = 0;
    qint64 last = size - 1;
    if (status == 200) {
        const QByteArray range = request.header("Range");
        if (range.startsWith("bytes=")) {
            const QByteArray span = range.mid(6);
            const int dash = span.indexOf('-');
            first = span.left(dash).toLongLong();
            const QByteArray to = span.mid(dash + 1);
            if (!to.isEmpty()) {
                last = std::min(to.toLongLong(), size - 1);
            }
            status = first >= size || first > last ? 416 : 206;
        }
    }
    head = statusLine(status);
    head += "Accept-Ranges: bytes\r\n";
    QByteArray body;
    if (status == 200 || status == 206) {
        head += "Content-Type: video/mp4\r\n";
        if (status == 206) {
            head += "Content-Range: bytes " + QByteArray::number(first) + '-'
                + QByteArray::number(last) + '/' + QByteArray::number(size) + "\r\n";
        }
        head += "Content-Length: " + QByteArray::number(last - first + 1) + "\r\n\r\n";
    } else {
        if (status == 416) {
            head += "Content-Range: bytes */" + QByteArray::number(size) + "\r\n";
        }
        body = "refused\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    }
    if (!sendAll(fd, head.constData(), head.size(), -1)) {
        return false;
    }
    if (request.method == "HEAD") {
        return true;
    }
    if (status == 200 || status == 206) {
        return sendAll(fd, m_file.constData() + first, last - first + 1, 0);
    }
    return sendAll(fd, body.constData(), body.size(), -1);
}

bool MediaServer::sendAll(int fd, const char *data, qint64 size, qint64 throttleFrom)
{
    int rate = 0;
    qint64 freeBytes = 0;
    if (throttleFrom >= 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        rate = m_bytesPerSecond;
        freeBytes = m_freeBytes;
    }
    qint64 sent = 0;
    while (sent < size && !m_stopping) {
        qint64 chunk = size - sent;
        const bool throttled = rate > 0 && sent >= freeBytes;
        if (throttled) {
            chunk = std::min<qint64>(chunk, std::max(1, rate / 20));
        } else if (rate > 0) {
            chunk = std::min(chunk, freeBytes - sent);
        }
        const ssize_t written = ::send(fd, data + sent, size_t(chunk), MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        sent += written;
        if (throttled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return sent == size;
}

void MediaServer::waitForClose(int fd)
{
    pollfd watch { fd, POLLIN, 0 };
    while (!m_stopping) {
        if (::poll(&watch, 1, 100) > 0) {
            char byte;
            if (::recv(fd, &byte, 1, 0) <= 0) {
                return;
            }
        }
    }
}

QString TestMedia::makeVideo(const QString &directory, const QString &name, const Options &options)
{
    const QString path = QDir(directory).filePath(name);
    QString video = QStringLiteral("testsrc2=size=%1x%2:rate=%3")
                        .arg(options.width)
                        .arg(options.height)
                        .arg(options.rate);
    if (options.noisyVideoKbps > 0) {
        video += QStringLiteral(",noise=alls=60:allf=t");
    }
    if (options.frameCounter) {
        video += QStringLiteral(",drawtext=font=DejaVu Sans:text=%{frame_num}:x=h/20:y=h/20:"
                                "fontsize=h/5:fontcolor=white:box=1:boxcolor=black:boxborderw=10");
    }
    const QString audio = QStringLiteral("sine=f=%1:r=48000[l];sine=f=%2:r=48000[r];"
                                         "[l][r]join=inputs=2:channel_layout=stereo")
                              .arg(LeftToneHz)
                              .arg(RightToneHz);
    QStringList arguments = { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
        QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), video,
        QStringLiteral("-filter_complex"), audio, QStringLiteral("-t"),
        QString::number(options.seconds), QStringLiteral("-c:v"), QStringLiteral("libx264"),
        QStringLiteral("-preset"), QStringLiteral("ultrafast"), QStringLiteral("-pix_fmt"),
        QStringLiteral("yuv420p"), QStringLiteral("-g"), QString::number(options.rate) };
    if (options.noisyVideoKbps > 0) {
        const QString rate = QString::number(options.noisyVideoKbps) + QLatin1Char('k');
        arguments << QStringLiteral("-b:v") << rate << QStringLiteral("-maxrate") << rate
                  << QStringLiteral("-bufsize") << rate;
    }
    arguments << QStringLiteral("-c:a") << QStringLiteral("aac") << QStringLiteral("-b:a")
              << QStringLiteral("128k") << QStringLiteral("-movflags")
              << QStringLiteral("+faststart") << path;
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit
        || ffmpeg.exitCode() != 0 || !QFile::exists(path)) {
        return QString();
    }
    return path;
}

bool TestMedia::lengthenStatedDuration(const QString &path, int extraMilliseconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        return false;
    }
    QByteArray bytes = file.readAll();
    // Version 0 movie header: tag, version and flags, two times, time scale,
    // duration, all big-endian 32-bit.
    const int at = bytes.indexOf("mvhd");
    if (at < 0 || at + 24 > bytes.size() || bytes.at(at + 4) != 0) {
        return false;
    }
    const auto read = [&](int offset) {
        return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(bytes.constData() + offset));
    };
    const quint32 scale = read(at + 16);
    const quint32 duration = read(at + 20) + quint32(qint64(scale) * extraMilliseconds / 1000);
    qToBigEndian(duration, reinterpret_cast<uchar *>(bytes.data() + at + 20));
    return file.seek(0) && file.write(bytes) == bytes.size();
}

QByteArray TestMedia::longSubtitle(int size)
{
    QByteArray text;
    text.reserve(size + 100);
    for (int n = 0; text.size() < size; ++n) {
        const QTime start = QTime(0, 0).addSecs(n);
        text += QByteArray::number(n + 1) + '\n' + start.toString("hh:mm:ss,000").toLatin1()
            + " --> " + start.addMSecs(900).toString("hh:mm:ss,zzz").toLatin1() + "\nline "
            + QByteArray::number(n) + " of a very long subtitle file\n\n";
    }
    return text;
}
