// name_lookup.h - reverse name lookups of connected peers (NoDNS = 0), done
// off the server thread so that a slow name service never stalls a session.
//
// One resolver thread asks the name service (c-ares, with the hosts file
// and DNS as the system configures them) and waits for its answers. The
// server thread hands it a lookup with name_lookup_request and goes on at
// once: the connection works with its dotted address meanwhile. A name found
// within the time limit comes back only through the task kernel's mailbox
// (thread_post, then notify_event("DNS")): the request's callback runs as
// posted work on the server thread and is the only code that may give the
// name to a session. A lookup that fails, finds no name or is not answered
// in time brings nothing back; the connection keeps its dotted address.
//
// Contexts: name_lookup_request from the server thread; start and stop from
// the thread that runs the frame (the server thread, or a clean-up on
// another one). The resolver thread touches nothing but its own state and
// the mailbox.
#pragma once
#include <cstdint>

// How long a lookup may take; a later answer is not used.
inline constexpr int kNameLookupLimitMs = 5000;
// Lookups queued or asked at one time; more are not made.
inline constexpr int kNameLookupMaxPending = 256;

// Runs on the server thread when the name of the lookup with this key was
// found in time; name is valid for the call only and came from the network
// (log it escaped).
using NameFoundFn = void (*)(uint64_t key, const char* name);

// Starts the resolver thread: 0, or an errno value (-1 when the resolver
// library could not be set up), after logging why. 0 when already running.
int name_lookup_start();
// Stops and joins the resolver thread; lookups under way end without a
// result and results not yet delivered are dropped. Safe when not running;
// from the resolver thread itself it only asks it to stop.
void name_lookup_stop();
// Asks for the name of the IPv4 address addr (host order); found(key, name)
// follows on the server thread if one is found in time. 0 when asked; -1
// when lookups are not running or too many are pending (the connection
// keeps its dotted address).
int name_lookup_request(uint32_t addr, uint64_t key, NameFoundFn found);

// For tests, read at the next start: the name servers to ask ("ip:port",
// comma-separated), the hosts file then left out; none restores the
// system's configuration. And the time limit; <= 0 restores the default.
void name_lookup_set_servers(const char* servers);
void name_lookup_set_limit_ms(int ms);
