// tavrion-seeder: seeds one torrent from a payload folder to peers on
// 127.0.0.1 until SIGTERM or SIGINT. Prints "seeding <info-hash> <address>"
// and "ready" once it listens, so scripts and tests can wait for that line.

#include "loopbacksettings.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

const char usage[] = "usage: tavrion-seeder --torrent FILE.torrent --payload DIR "
                     "[--listen 127.0.0.1:PORT]\n";

struct Options
{
    std::string torrent;
    std::string payload;
    int port = 0;
};

// Only a port on 127.0.0.1 is accepted: the seeder never listens beyond loopback.
bool parsePort(const std::string &address, int &port)
{
    const std::string prefix = "127.0.0.1:";
    if (address.compare(0, prefix.size(), prefix) != 0 || address.size() == prefix.size()
        || address.size() > prefix.size() + 5)
        return false;
    port = 0;
    for (std::size_t i = prefix.size(); i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9')
            return false;
        port = port * 10 + (address[i] - '0');
    }
    return port <= 65535;
}

bool parseArguments(int argc, char **argv, Options &options)
{
    bool listenSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--torrent" && options.torrent.empty() && !value.empty())
            options.torrent = value;
        else if (name == "--payload" && options.payload.empty() && !value.empty())
            options.payload = value;
        else if (name == "--listen" && !listenSeen && parsePort(value, options.port))
            listenSeen = true;
        else
            return false;
    }
    return !options.torrent.empty() && !options.payload.empty();
}

bool isFileOfSize(const std::string &path, std::int64_t size)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == size;
}

// The payload folder holds the torrent's top entry; for a multi-file torrent
// it may also be that top folder itself, in which case the files are mapped
// to paths without the top folder. Returns an error message, empty when every
// file is present with its size.
std::string mapPayload(const lt::torrent_info &torrent, lt::add_torrent_params &params)
{
    const lt::file_storage &storage = torrent.files();
    const std::string prefix = storage.name() + "/";
    for (const lt::file_index_t index : storage.file_range()) {
        if (storage.pad_file_at(index))
            continue;
        const std::string path = storage.file_path(index);
        const std::int64_t size = storage.file_size(index);
        if (isFileOfSize(params.save_path + "/" + path, size))
            continue;
        if (storage.num_files() > 1 && path.compare(0, prefix.size(), prefix) == 0) {
            const std::string inner = path.substr(prefix.size());
            if (isFileOfSize(params.save_path + "/" + inner, size)) {
                params.renamed_files[index] = inner;
                continue;
            }
        }
        return "payload file " + path + " is missing or not " + std::to_string(size) + " bytes in "
            + params.save_path;
    }
    return {};
}

lt::settings_pack seederSettings(int port)
{
    lt::settings_pack settings = loopbackSettings(port);
    settings.set_int(lt::settings_pack::upload_rate_limit, 0);
    settings.set_int(lt::settings_pack::download_rate_limit, 0);
    settings.set_int(
        lt::settings_pack::alert_mask, int(lt::alert_category::status | lt::alert_category::error));
    return settings;
}

std::string hexInfoHash(const lt::torrent_info &torrent)
{
    std::ostringstream hex;
    hex << torrent.info_hashes().v1;
    return hex.str();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(usage, stderr);
        return 2;
    }

    lt::error_code error;
    auto torrent = std::make_shared<lt::torrent_info>(options.torrent, error);
    if (error) {
        std::cerr << "tavrion-seeder: cannot read " << options.torrent << ": " << error.message()
                  << '\n';
        return 1;
    }
    if (!torrent->info_hashes().has_v1()) {
        std::cerr << "tavrion-seeder: " << options.torrent << " has no v1 info-hash\n";
        return 1;
    }
    lt::add_torrent_params params;
    params.save_path = options.payload;
    const std::string payloadError = mapPayload(*torrent, params);
    if (!payloadError.empty()) {
        std::cerr << "tavrion-seeder: " << payloadError << '\n';
        return 1;
    }
    params.ti = torrent;
    // Seed mode skips the full check at start; each piece is verified the first
    // time a peer asks for it. Not auto-managed, so no seeding limit stops it.
    params.flags |= lt::torrent_flags::seed_mode;
    params.flags &= ~lt::torrent_flags::auto_managed;
    params.flags &= ~lt::torrent_flags::paused;

    // Block the stop signals before libtorrent starts its threads, so that
    // they reach only the sigtimedwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    lt::session session(seederSettings(options.port));
    session.add_torrent(std::move(params), error);
    if (error) {
        std::cerr << "tavrion-seeder: cannot add the torrent: " << error.message() << '\n';
        return 1;
    }

    bool listening = false;
    const timespec tick { 0, 100 * 1000 * 1000 };
    for (;;) {
        std::vector<lt::alert *> alerts;
        session.pop_alerts(&alerts);
        for (const lt::alert *alert : alerts) {
            if (const auto *listened = lt::alert_cast<lt::listen_succeeded_alert>(alert)) {
                if (!listening && listened->socket_type == lt::socket_type_t::tcp) {
                    listening = true;
                    std::printf("seeding %s 127.0.0.1:%d\nready\n", hexInfoHash(*torrent).c_str(),
                        listened->port);
                    std::fflush(stdout);
                }
            } else if (const auto *failed = lt::alert_cast<lt::listen_failed_alert>(alert)) {
                std::cerr << "tavrion-seeder: " << alert->message() << '\n';
                if (!listening && failed->socket_type == lt::socket_type_t::tcp)
                    return 1;
            } else if (alert->category() & lt::alert_category::error) {
                std::cerr << "tavrion-seeder: " << alert->message() << '\n';
            }
        }
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGTERM || signal == SIGINT)
            return 0;
    }
}
