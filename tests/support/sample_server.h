// sample_server.h - a server environment for tests that speak to the
// server: the volume set of server_volumes.h holding the sample database
// (sample_db.h, the stored sample with its records) and two users of it.
#pragma once
#include <cstdint>
#include <string>

namespace testsupport {

// Users written into the server catalog: "alice" (connect, password
// "secret", read on CUSTOMER, read and write on ORDERS, erase on REGIONS)
// and "boss" (dba, password "boss-pw", member of "admins": database
// administration, read, write and erase on every set).
inline constexpr const char* kSampleDbName = "sample";

// The ledger's name (sample_db.h) in such an environment.
inline constexpr const char* kLedgerDbName = "ledger";

// Writes the set at root_path as write_server_volumes does, then adds the
// sample database and the users; with ledger_entries >= 0 the ledger too,
// with that many entries (and ledger_accounts accounts, when 2 or more) and
// alice a member who may read and write it.
// Returns the [Volumes] lines, "" on a failure. No volume set may be open
// in the calling process.
std::string write_sample_environment(const std::string& root_path, int ledger_entries = -1,
                                     uint32_t ledger_accounts = 0);

// Makes user a member of the sample's group (alice's), in the set written
// at root_path. 0 or -1. No volume set may be open in the calling process.
int add_to_sample_group(const std::string& root_path, const char* user);

}  // namespace testsupport
