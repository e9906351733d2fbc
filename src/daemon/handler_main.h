// handler_main.h - the child main of a client handler: its options, log,
// configuration, the shared record, the connection's protocol and the
// lines that open and close it. Runs on the client-handler run's child
// thread (zentsd_frame.h); the socket and the record's descriptor are
// inherited by number.
#pragma once

// Options "c:d:l", then exactly "socket:N" and "shm:M". The handler's exit
// status: 0, or 1 when the session could not start or zentcore could not
// be started.
int zentsd_child_main(int argc, char** argv);
