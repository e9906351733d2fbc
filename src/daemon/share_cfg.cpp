// share_cfg.cpp - the share table and the path mappings (see share_cfg.h).
#include "daemon/share_cfg.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "base/debug_log.h"

namespace zentsd {

namespace {

bool is_sep(char c) { return c == '/' || c == '\\'; }

char lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

std::string lowered(const char* s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

// prefix == the start of text, any case, the two separators alike.
bool path_prefix(const std::string& prefix, const char* text) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char a = prefix[i];
    const char b = text[i];
    if (b == '\0') return false;
    if (is_sep(a) && is_sep(b)) continue;
    if (lower(a) != lower(b)) return false;
  }
  return true;
}

}  // namespace

void ShareCFG::Section(const char* name) {
  staging_.emplace_back();
  staging_.back().id = name;
}

void ShareCFG::Item(const char* item, const char* value) {
  debug_log('C', 3, "ShareCFG: item=\"%s\", value=\"%s\"", item, value);
  Share& s = staging_.back();
  if (strcmp(item, "PATH") == 0) {
    s.path = value;
    if (!s.path.empty() && is_sep(s.path.back())) s.path.pop_back();
  } else if (strcmp(item, "COMMENT") == 0) {
    s.comment = value;
  } else if (strcmp(item, "USERS") == 0) {
    cfg_split_list(value, &s.users);
  } else {
    debug_log('C', 0, "Unknown configuration entry: \"%s\"", item);
  }
}

const Share* ShareCFG::Find(const char* id) {
  if (Refresh() != 0) return nullptr;
  for (const Share& s : shares_)
    if (strcasecmp(s.id.c_str(), id) == 0) return &s;
  return nullptr;
}

bool ShareCFG::MapPath(const char* local, std::string* share_path) {
  if (Refresh() != 0) return false;
  for (const Share& s : shares_) {
    if (s.path.empty() || !path_prefix(s.path, local) || !is_sep(local[s.path.size()])) continue;
    *share_path = s.id + lowered(local + s.path.size());
    return true;
  }
  return false;
}

bool ShareCFG::Resolve(const char* share_path, const Share** share, std::string* rest) {
  const size_t id_len = strcspn(share_path, "/\\");
  const std::string id(share_path, id_len);
  const Share* s = Find(id.c_str());
  if (s == nullptr) return false;
  *share = s;
  *rest = share_path[id_len] == '\0' ? std::string() : lowered(share_path + id_len + 1);
  return true;
}

bool ShareCFG::ReverseMapPath(const char* share_path, std::string* local) {
  const Share* s = nullptr;
  std::string rest;
  if (!Resolve(share_path, &s, &rest)) return false;
  *local = share_path[strcspn(share_path, "/\\")] == '\0' ? s->path : s->path + "/" + rest;
  return true;
}

}  // namespace zentsd
