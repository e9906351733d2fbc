// client_session.h - one client connection of zentdb6: its record, its
// worker task, the framing of requests and replies on the socket, and the
// closing and freeing of the connection.
//
// Framing, both directions: a u32 payload length, always big-endian, then
// exactly that many payload bytes. A request may be at most 256 bytes before
// the start-up handshake and 0x100000 bytes after it.
//
// Context: everything here runs in tasks on the server thread (the worker
// task of the connection, the idle task for accept and socket errors, the
// shutdown task for sessions_close_all, and posted kernel work for receive
// time-outs). No other thread touches a session. See README.md, "Client
// sessions", for the road of a request and the wake-up accounting.
#pragma once
#include <cstdint>
#include <ctime>

#include "server/buffer.h"

struct Task;
struct idb_session;
// Lists owned by the catalog request class (syscat_request.h) and the scan
// maps (scan_map.h).
struct CatalogDbMap;
struct CatalogQueryMap;
struct ScanMap;

inline constexpr uint32_t SESSION_MAGIC = 0x574f524b;
inline constexpr uint32_t SESSION_FREED = 0xfee1dead;

enum { State_Initial = 0, State_Established = 1 };
// async_state: what the worker does when it is woken next.
enum {
  AS_IDLE = 0,   // a request is in hand (or a reply was sent)
  AS_RECV = 1,   // waiting for the length word (possibly part of it)
  AS_RECV2 = 2,  // length word in hand, payload partly received
  AS_XMIT = 3,   // reply finished, to be sent
  AS_XMIT2 = 4,  // a reply partly sent, waiting for room in the socket
};

// Size of each of the session's two fixed areas (one per direction); the
// handshake reply announces it as the buffer size.
inline constexpr uint32_t kSessionAreaSize = 32768;
inline constexpr uint32_t kInitialMessageLimit = 256;
inline constexpr uint32_t kMessageLimit = 0x100000;
// The first read of a frame takes up to this many bytes: a whole request of
// most kinds, so that it costs one receive.
inline constexpr uint32_t kRxAheadSize = 512;
// Time-out of a frame that arrives in pieces, and of a reply the peer takes
// nothing of, when the Timeout setting is 0.
inline constexpr int kDefaultFrameTimeoutMs = 30000;

struct ClientSession {
  uint32_t magic;    // SESSION_MAGIC while live, SESSION_FREED once freed
  uint32_t closing;  // set once; the worker leaves its loop when it sees it
  uint32_t state;    // State_Initial until the handshake reply was sent
  int sockfd;        // -1 once closed
  Buffer buffer;
  // One fixed area per direction, so that a reply being built can never
  // overwrite request bytes a handler still reads.
  uint8_t* send_area;
  uint8_t* recv_area;
  uint32_t area_size;
  int32_t async_state;
  // The reply in flight.
  const uint8_t* send_ptr;
  uint32_t async_total_sz;
  uint32_t async_rem_sz;
  uint32_t async_ofs;
  // From the handshake.
  uint32_t protocol_revision;
  uint32_t client_byte_order;
  char* platform;
  char* charset;
  char* os_user;
  char* challenge;
  // The peer.
  uint32_t peer_addr;  // IPv4, host order
  char* host;          // the dotted address, or the peer's name once found
  uint64_t name_key;   // of the lookup of its name; 0 none
  uint16_t port;
  time_t connect_time;
  uint16_t request_id;  // echoed first in every reply
  idb_session* db_session;
  CatalogDbMap* catalog_db_maps;
  CatalogQueryMap* catalog_query_maps;
  ScanMap* scan_maps;
  uint16_t catalog_db_map_counter;
  uint16_t catalog_query_map_counter;
  uint32_t scan_map_counter;
  // The frame being received: length-word bytes in hand, payload bytes in
  // hand, and when the frame must be complete (0 = no frame in progress).
  uint8_t rx_length[4];
  uint32_t rx_got;
  uint64_t rx_deadline_ms;
  // A frame begins with one read of up to kRxAheadSize bytes, so that a
  // short request takes a single receive. What that read brought beyond
  // the frame (a client may send its next request before this one's reply)
  // waits here, rx_ahead_len bytes from rx_ahead_at, and is taken before
  // the socket is read again.
  uint8_t rx_ahead[kRxAheadSize];
  uint16_t rx_ahead_at;
  uint16_t rx_ahead_len;
  // Set when close_connection or the shutdown unblocked the waiting worker:
  // that wake-up, unlike the idle task's, was not counted as pending.
  int woken_by_close;
  Task* task;
};

// Every woken worker that has not yet taken its request; the select thread
// selects again only when it is 0 (see client_request_taken).
extern int client_pending_cnt;

// Idle task: the listen socket is readable. Accepts one connection and
// gives it a worker task and a free worker slot; a connection that finds no
// free slot is refused.
void accept_connection();
// Gives an accepted socket its session, worker task and worker slot, and
// has the select thread watch it; name_key names the lookup of its host
// name under way (0 none). The handshake must be in within the frame
// time-out. 0, or -1 when the connection was refused (the socket is closed
// then).
int session_start(int sock, uint32_t addr, uint16_t port, const char* host,
                  uint64_t name_key = 0);
// Entry function of each connection's task (priority 5).
void worker_thread();

// The session of a worker task, or none.
ClientSession* session_of(Task* task);

// Allocates the session's two areas and sets up its Buffer. 0 or -1.
int session_init(ClientSession* session);
// Frees what the record holds (texts, areas, the Buffer's heap blocks); the
// record itself stays with its owner.
void session_release(ClientSession* session);
// Reads what the socket has of the current frame without waiting: 0 a
// request is in hand, 1 nothing complete yet, -1 failure or end of stream.
int rx_request(ClientSession* session);
// 0 payload complete, 1 end of stream before the length word, 2 not yet
// complete, -1 failure.
int rx_message(ClientSession* session);
// Whether bytes read ahead of the current frame wait in the session: the
// worker then takes them without waiting for its socket.
bool rx_ahead_held(const ClientSession* session);
// Writes the length word and makes the reply ready for sending. 0, or -1
// when the reply could not be built (nothing is sent then).
int finish_reply(ClientSession* session);
// Sends what the socket takes of the reply in flight without waiting: 0
// all sent, 1 part still in flight (AS_XMIT2, resumed by the next call), -1
// failure.
int tx_reply(ClientSession* session);
// State_Initial becomes State_Established; no effect otherwise.
void session_established(ClientSession* session);
// Closes the task's connection and makes its worker leave: unblocks it, or
// cuts the wait it sleeps in when that may be cut (a lock, a semaphore, the
// send wait); a page or I/O wait runs to its end, and the worker leaves at
// its next wait that may be cut or when its request is done. Callable from
// any task and from posted work.
void close_connection(Task* task);
// The worker task's clean-up callback: frees what the session holds and
// clears the worker slot.
void worker_cleanup(Task* task);
// A woken worker took its request: the pending count goes down and, at 0,
// the select thread may select again.
void client_request_taken();
// Shutdown: marks every open session closing, wakes its worker and, when
// called from a task, waits (at most 10 s) until every worker has ended.
void sessions_close_all();

// The frame time-out (the handshake from the connect on, receiving a frame
// in pieces, waiting for the peer to take a reply); <= 0 restores the default (the Timeout setting, else
// kDefaultFrameTimeoutMs).
void session_set_frame_timeout_ms(int ms);
// The frame time-out in force, in milliseconds.
int session_frame_timeout_ms();
// Sleeps the calling task until the next send retry (the shortest timer,
// shared by every task whose peer's socket is full), or until a close or
// the shutdown cuts the sleep short. -1 when no timer could be had.
int wait_for_send_retry();
// Whether task sleeps in that wait, for its client to take a reply.
bool session_waits_for_peer(const Task* task);
// Posted kernel work: closes every session whose frame is overdue, or that
// has not completed its handshake within the frame time-out.
void sessions_check_frame_timeouts(void* unused);
// Posted kernel work (peer_name_found): the session whose name lookup has
// name_key, if it is still open, takes its host name.
void session_take_name(uint64_t name_key, const char* name);
