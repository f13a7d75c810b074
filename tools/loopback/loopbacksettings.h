// Session settings for libtorrent peers that meet only on 127.0.0.1: the
// seeder, its suite and the swarm benchmark. Nothing announces or discovers
// beyond loopback, and every connection is plain TCP.
#pragma once

#include <libtorrent/settings_pack.hpp>

#include <string>

inline lt::settings_pack loopbackSettings(int port = 0)
{
    lt::settings_pack settings;
    settings.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:" + std::to_string(port));
    settings.set_bool(lt::settings_pack::enable_dht, false);
    settings.set_bool(lt::settings_pack::enable_lsd, false);
    settings.set_bool(lt::settings_pack::enable_upnp, false);
    settings.set_bool(lt::settings_pack::enable_natpmp, false);
    settings.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    settings.set_bool(lt::settings_pack::enable_incoming_utp, false);
    // Every peer of a loopback swarm shares the address 127.0.0.1.
    settings.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    return settings;
}
