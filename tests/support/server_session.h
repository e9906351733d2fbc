// server_session.h - a client session on the server's request path without
// sockets, as a worker holds one: the session record, the configuration the
// handshake reads, and payloads handed to the dispatcher directly. The
// fixture puts such a session over the server catalog in memory (with the
// transaction log), where a test writes the sample database (sample_db.h).
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "access/access_fixture.h"
#include "access/schema_cache.h"
#include "base/server_config.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "server/client_session.h"
#include "server/dbml_request.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "storage/fixrec.h"
#include "storage/tlog.h"
#include "support/sample_db.h"
#include "support/zent_client.h"

namespace testsupport {

// A session record as the worker makes one; nullptr on a failure.
inline ClientSession* new_client_session() {
  auto* s = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  if (s == nullptr) return nullptr;
  s->magic = SESSION_MAGIC;
  if (session_init(s) != 0) {
    free(s);
    return nullptr;
  }
  s->async_state = AS_IDLE;
  return s;
}

// Ends what the session holds (its database session with it) and frees it.
inline void end_client_session(ClientSession* s) {
  dbml_close_session(s);
  session_release(s);
  free(s);
}

// Hands payload to the dispatcher as the worker does after receiving it;
// handle_request's result, with the reply payload in *reply. The length
// word in front of a reply is big-endian and counts the payload only.
inline int dispatch_payload(ClientSession* s, const Bytes& payload, Bytes* reply = nullptr) {
  Buffer* buf = &s->buffer;
  Buffer_RecvReset(buf);
  uint8_t* p = Buffer_RecvArea(buf, static_cast<uint32_t>(payload.size()));
  if (p == nullptr) return -2;
  memcpy(p, payload.data(), payload.size());
  if (s->state != State_Initial && Buffer_Get_u16(buf, &s->request_id) != 0) return -1;
  const int rc = handle_request(s);
  if (rc == 0 && reply != nullptr) {
    const uint8_t* data = s->send_ptr;
    *reply = Bytes(data + 4, data + s->async_total_sz);
    EXPECT_EQ(Bytes(data, data + 4),
              PayloadWriter(true).u32(static_cast<uint32_t>(reply->size())).bytes());
  }
  s->async_state = AS_IDLE;
  return rc;
}

// The server catalog with its log, the server's configuration and one
// session (open_session). A test fixture derives, writes its database
// between start_log and open_session, and adds its own requests.
class ServerSessionFixture : public syscat_test::CatalogFixture {
 protected:
  ServerSessionFixture() { with_log_ = true; }

  // The log with the handlers of the catalog, the B-trees and the record
  // files, and a root node for the transactions.
  void start_log() { ASSERT_NO_FATAL_FAILURE(access_test::start_access_log()); }
  // The configuration installed (srv_ and cfg_, devices as the test set
  // them), a session that shook hands (from host, when given) and is
  // established; its challenge in challenge_.
  void open_session(const char* host = nullptr) {
    srv_.charset_name = const_cast<char*>("ISO8859/1");
    cfg_.server = &srv_;
    saved_cfg_ = server_cfg;
    server_cfg = &cfg_;
    installed_ = true;
    session_ = new_client_session();
    ASSERT_NE(session_, nullptr);
    if (host != nullptr) session_->host = strdup(host);
    Bytes reply;
    ASSERT_EQ(dispatch(encode_startup({}), &reply), 0);
    StartupReply r;
    ASSERT_TRUE(decode_startup_reply(reply, &r));
    challenge_ = r.challenge;
    session_established(session_);
  }
  // Ends the session and puts the configuration back; once only.
  void close_session() {
    if (session_ != nullptr) end_client_session(session_);
    session_ = nullptr;
    if (installed_) server_cfg = saved_cfg_;
    installed_ = false;
  }
  void TearDown() override {
    close_session();
    EXPECT_EQ(idb__get_vroot_list(), nullptr);
    CatalogFixture::TearDown();
    Tlog_ResetTables();
  }

  int dispatch(const Bytes& payload, Bytes* reply = nullptr) {
    return dispatch_payload(session_, payload, reply);
  }
  // One DBML request that must be answered: its status, the bytes after
  // the status reply in *rest (without rest none may follow).
  DbmlStatus dbml_call(const PayloadWriter& w, Bytes* rest = nullptr) {
    Bytes reply, after;
    DbmlStatus st;
    EXPECT_EQ(dispatch(w.bytes(), &reply), 0);
    EXPECT_TRUE(decode_dbml_reply(reply, &st, &after));
    if (rest != nullptr)
      *rest = after;
    else
      EXPECT_EQ(after.size(), 0u);
    return st;
  }

  SampleDb d_;
  SrvConfig srv_{};
  CfgRecord cfg_{};
  CfgRecord* saved_cfg_ = nullptr;
  ClientSession* session_ = nullptr;
  std::string challenge_;

 private:
  bool installed_ = false;
};

}  // namespace testsupport
