// user_cfg.cpp - the user table and the profile chain (see user_cfg.h).
#include "daemon/user_cfg.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "base/debug_log.h"

namespace zentsd {

void UserCFG::Section(const char* name) {
  staging_.emplace_back();
  staging_.back().id = name;
}

void UserCFG::Item(const char* item, const char* value) {
  const bool secret = strcmp(item, "PASSWORD") == 0;
  debug_log('C', 3, "UserCFG: item=\"%s\", value=\"%s\"", item, secret ? "********" : value);
  User& u = staging_.back();
  if (strcmp(item, "NAME") == 0) {
    u.name = value;
  } else if (strcmp(item, "EMAIL") == 0) {
    u.email = value;
  } else if (strcmp(item, "UID") == 0) {
    u.uid = value;
  } else if (strcmp(item, "ALLOW") == 0) {
    cfg_split_list(value, &u.allow);
  } else if (strcmp(item, "DENY") == 0) {
    cfg_split_list(value, &u.deny);
  } else if (strcmp(item, "OPTIONS") == 0) {
    cfg_split_list(value, &u.options);
  } else if (strcmp(item, "PROFILE") == 0) {
    u.profile = value;
  } else {
    debug_log('C', 1, "Unknown configuration entry: \"%s\"", item);
  }
}

User* UserCFG::FindRecord(const std::string& id) {
  for (User& u : users_)
    if (strcasecmp(u.id.c_str(), id.c_str()) == 0) return &u;
  return nullptr;
}

bool UserCFG::Lookup(const char* id, User* out) {
  if (Refresh() != 0) return false;
  try {
    User* user = FindRecord(id);
    if (user == nullptr) return false;
    std::vector<std::string> used{user->id};
    std::string next = user->profile.empty() ? "default" : user->profile;
    for (;;) {
      bool seen = false;
      for (const std::string& u : used) seen = seen || strcasecmp(u.c_str(), next.c_str()) == 0;
      if (seen) break;  // the user itself, or a profile the chain came back to
      const User* p = FindRecord(next);
      if (p == nullptr) break;
      used.push_back(p->id);
      if (user->name.empty()) user->name = p->name;
      if (user->email.empty()) user->email = p->email;
      if (user->uid.empty()) user->uid = p->uid;
      if (user->allow.empty()) user->allow = p->allow;
      if (user->deny.empty()) user->deny = p->deny;
      if (user->options.empty()) user->options = p->options;
      if (p->profile.empty()) break;
      next = p->profile;
    }
    *out = *user;
    return true;
  } catch (const std::bad_alloc&) {
    debug_log('C', 0, "UserCFG: no memory to look up a user");
    return false;
  }
}

}  // namespace zentsd
