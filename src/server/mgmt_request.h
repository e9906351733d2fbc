// mgmt_request.h - request class 6, MGMT: text management commands from an
// administration client (on-line backup mode, database store and restore
// over the configured devices, shutdown, the session, thread, database and
// lock lists, cancelling or ending another connection's work, a voluntary
// panic, the log file and log flags). A command is a list of words; the
// reply is a text. docs/protocol.md, class 6, is the client writer's
// reference.
//
// Replies: a success text {id, 0, u32 0, counted string, 2 zero bytes}; a
// list or help text {id, 0, u32 0, counted string}; the failure text
// {id, 0, u32 error code, counted string, 2 zero bytes}. Texts are cut at
// 1023 characters, lists are not. Every refusal is a failure reply and the
// connection stays open; an undecodable request closes it.
//
// Device files: a store target or restore source names a configured device
// (`Devices`), optionally followed by a slash and a file part. A file part
// is accepted only when it is made of components of letters, digits, '.',
// '_' and '-', none of them "." or ".." (a store target has one
// component), because it is glued to a path or, for a '|' device, to a
// shell command run as the server's account.
//
// Context: the connection's worker task under its unit of the API lock.
// Store and restore suspend in the access layer and block in the C library
// on their stream; backup START gives the unit back while the log freezes.
#pragma once
#include <cstdint>
#include <string>

struct ClientSession;

enum { MGMT_COMMAND = 1 };

// The class dispatcher: 0 when a reply was built, -1 when the connection
// must be closed.
int mgmt_request(ClientSession* session);
// Decodes the words of a COMMAND request and runs the command.
int mgmt_req_command(ClientSession* session);

// The text of a success reply (cut at 1023 characters); 0 or -1 when the
// reply could not be built.
int reply_success(ClientSession* session, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Whether a store target's or restore source's file part may be used.
bool mgmt_file_part_ok(const char* file, bool single_component);

// A pending timed shutdown's timer is removed (tests, and the frame's
// close-down).
void mgmt_cancel_shutdown_timer();
