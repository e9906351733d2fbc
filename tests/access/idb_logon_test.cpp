// Logon against the server catalog's users: the table of refusals and
// acceptances (a null password is not an empty one), the identity a failed
// logon keeps, "public" for an empty name, and the capability questions.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "index/syscat_fixture.h"
#include "support/sample_db.h"

namespace {

using syscat_test::CatalogFixture;

class Logon : public CatalogFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    add("alice", "secret", IDB_CAP_CONNECT);
    add("admin", "", IDB_CAP_DBA);
    add("useradm", nullptr, IDB_CAP_USERADM);
    add("open", nullptr, IDB_CAP_CONNECT | IDB_CAP_USERADM);
  }
  void TearDown() override {
    free(s_.user_name);
    CatalogFixture::TearDown();
  }
  void add(const char* name, const char* password, uint32_t priv) {
    const uint32_t uid = testsupport::add_user(name, priv, password);
    ASSERT_NE(uid, 0u);
    uids_[name] = static_cast<int32_t>(uid);
  }
  std::map<std::string, int32_t> uids_;
  idb_session s_{};
};

struct LogonCase {
  const char* what;
  const char* name;
  const char* password;
  int32_t code;  // 0 accepted
  const char* user;  // whose id an acceptance gives
};

TEST_F(Logon, UsersAndPasswords) {
  const LogonCase cases[] = {
      {"unknown user", "nobody", "x", S_BADUSER, nullptr},
      {"no connect bit", "useradm", nullptr, S_BADUSER, nullptr},
      {"wrong password", "alice", "Secret", S_BADPSWD, nullptr},
      {"null password", "alice", nullptr, S_BADPSWD, nullptr},
      {"right password", "alice", "secret", 0, "alice"},
      {"empty password of an empty digest", "admin", "", 0, "admin"},
      {"null password of an empty digest", "admin", nullptr, S_BADPSWD, nullptr},
      {"no stored password, any given", "open", "whatever", 0, "open"},
      {"no stored password, none given", "open", nullptr, 0, "open"},
      {"empty name is public", "", nullptr, 0, "public"},
      {"null name is public", nullptr, "x", 0, "public"},
  };
  for (const LogonCase& c : cases) {
    idb_session s{};
    idb_status st;
    for (int32_t& w : st) w = 77;
    const int rc = idb_logon(&s, c.name, c.password, st);
    if (c.code == 0) {
      EXPECT_EQ(rc, 0) << c.what;
      EXPECT_EQ(st[0], 0) << c.what;
      const int32_t uid = std::string(c.user) == "public" ? 2 : uids_[c.user];
      EXPECT_EQ(st[1], uid) << c.what;
      for (int i = 2; i < IDB_STATUS_WORDS; ++i) EXPECT_EQ(st[i], 0) << c.what << " word " << i;
      EXPECT_EQ(idb__get_uid(&s), uid) << c.what;
      EXPECT_STREQ(s.user_name, c.name && *c.name ? c.name : "public") << c.what;
    } else {
      EXPECT_EQ(rc, -1) << c.what;
      EXPECT_EQ(st[0], c.code) << c.what;
      EXPECT_EQ(st[9], 0) << c.what;
      EXPECT_EQ(st[5], IDB_LOGON) << c.what;  // success clears words 2 to 9
      EXPECT_EQ(st[8], 0) << c.what;
      EXPECT_EQ(idb__get_uid(&s), 0) << c.what;
      EXPECT_EQ(s.user_name, nullptr) << c.what;
    }
    free(s.user_name);
  }
}

TEST_F(Logon, AFailedLogonKeepsTheFormerIdentity) {
  ASSERT_EQ(idb__logon(&s_, "admin", ""), 0);
  EXPECT_TRUE(idb__chk_capability(&s_, 0));
  EXPECT_EQ(idb__logon(&s_, "alice", "wrong"), -1);
  EXPECT_EQ(idb__get_uid(&s_), uids_["admin"]);
  EXPECT_STREQ(s_.user_name, "admin");
  EXPECT_TRUE(idb__chk_capability(&s_, 32));  // bit & 31
  EXPECT_FALSE(idb__chk_capability(&s_, 2));
  ASSERT_EQ(idb__logon(&s_, "alice", "secret"), 0);
  EXPECT_STREQ(s_.user_name, "alice");
  EXPECT_FALSE(idb__chk_capability(&s_, 0));
  EXPECT_TRUE(idb__chk_capability(&s_, 2));
}

TEST_F(Logon, NoCapabilityBeforeLogon) {
  for (int bit = 0; bit < 32; ++bit) EXPECT_FALSE(idb__chk_capability(&s_, bit)) << bit;
  s_.caps = ~0u;  // capability bits alone are not a logon
  EXPECT_FALSE(idb__chk_capability(&s_, 0));
}

}  // namespace
