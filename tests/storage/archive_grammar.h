// archive_grammar.h - an archive stream read back against its grammar: the
// magic, the header block, the collating-sequence block, node blocks whose
// tags come in order with the sizes their descriptor promises, INFO tags
// between blocks, EOF last. Tests of the writer and of the catalog's dump
// check what they wrote with it.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage/archive_format.h"
#include "storage/disk_bytes.h"

namespace archive_test {

struct Tag {
  uint8_t type;
  uint32_t size;
  size_t at;  // offset of the data in the stream
};

struct NodeBlock {
  Node_ARCHIVE_DESC desc;
  std::vector<uint8_t> meta;
  std::vector<uint8_t> flist;
  std::vector<std::pair<uint32_t, uint8_t>> ulist;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> clusters;  // address, pages
};

struct Archive {
  std::string db_name;
  uint32_t flags = 0;
  uint32_t node_id = 0;
  std::vector<uint32_t> items;
  std::vector<std::string> infos;
  struct Coll {
    uint32_t id;
    std::string name;
    uint32_t v1, v2, v3;
    std::vector<uint8_t> map;
  };
  std::vector<Coll> colls;
  bool coll_block = false;
  std::vector<NodeBlock> nodes;
};

// Parses bytes; "" when they follow the grammar, else where they do not.
inline std::string parse_archive(const std::vector<uint8_t>& b, Archive* out) {
  size_t at = 0;
  auto need = [&](size_t n) { return at + n <= b.size(); };
  if (!need(Node_ARCHIVE_MAGIC_SIZE) || memcmp(b.data(), Node_ARCHIVE_MAGIC, Node_ARCHIVE_MAGIC_SIZE) != 0)
    return "magic";
  at = Node_ARCHIVE_MAGIC_SIZE;
  std::vector<Tag> tags;
  while (at < b.size()) {
    if (!need(Node_TAG_HEAD_SIZE)) return "tag head cut at " + std::to_string(at);
    const Node_TAGHEAD h = Node_DecodeTagHead(b.data() + at);
    at += Node_TAG_HEAD_SIZE;
    if (!need(h.size)) return "tag data cut at " + std::to_string(at);
    tags.push_back(Tag{h.type, h.size, at});
    at += h.size;
  }
  size_t i = 0;
  auto str = [&](size_t& p, std::string* s) {
    const uint8_t n = b[p++];
    s->assign(reinterpret_cast<const char*>(b.data() + p), n);
    p += n;
  };
  auto block = [&](uint8_t tag, uint8_t type) {
    return i < tags.size() && tags[i].type == tag && tags[i].size == 1 && b[tags[i].at] == type;
  };
  auto skip_info = [&] {
    while (i < tags.size() && tags[i].type == Node_ATT_INFO) {
      if (tags[i].size < 1 || tags[i].size > 255) return false;
      out->infos.emplace_back(reinterpret_cast<const char*>(b.data() + tags[i].at), tags[i].size);
      ++i;
    }
    return true;
  };
  if (!skip_info()) return "info size";
  if (!block(Node_ATT_BEGIN, Node_ATT_HEAD)) return "header block";
  ++i;
  if (i >= tags.size() || tags[i].type != Node_ATT_HEAD_HEAD) return "HEAD_HEAD";
  {
    size_t p = tags[i].at;
    if (le_get32(b.data() + p) != 1234 || le_get32(b.data() + p + 4) != 1) return "probe/version";
    p += 8;
    std::string rev, plat, cs;
    str(p, &rev);
    str(p, &plat);
    str(p, &cs);
    if (rev != "WIN32 A.06.00" || plat != "WIN32" || cs != "iso-8859-1") return "header strings";
    if (tags[i].size != 8 + rev.size() + plat.size() + cs.size() + 3) return "HEAD_HEAD size";
    ++i;
  }
  if (i >= tags.size() || tags[i].type != Node_ATT_HEAD_DB) return "HEAD_DB";
  {
    size_t p = tags[i].at;
    str(p, &out->db_name);
    out->flags = le_get32(b.data() + p);
    out->node_id = le_get32(b.data() + p + 4);
    const uint32_t n = le_get32(b.data() + p + 8);
    p += 12;
    for (uint32_t k = 0; k < n; ++k) out->items.push_back(le_get32(b.data() + p + 4 * k));
    if (tags[i].size != out->db_name.size() + 1 + 12 + 4 * n) return "HEAD_DB size";
    ++i;
  }
  if (!block(Node_ATT_END, Node_ATT_HEAD)) return "header block end";
  ++i;
  if (!skip_info()) return "info size";
  if (block(Node_ATT_BEGIN, Node_ATT_COLL)) {
    out->coll_block = true;
    ++i;
    while (i < tags.size() && tags[i].type == Node_ATT_COLL_DATA) {
      Archive::Coll c;
      size_t p = tags[i].at;
      c.id = le_get32(b.data() + p);
      p += 4;
      str(p, &c.name);
      c.v1 = le_get32(b.data() + p);
      c.v2 = le_get32(b.data() + p + 4);
      c.v3 = le_get32(b.data() + p + 8);
      const uint32_t m = le_get32(b.data() + p + 12);
      p += 16;
      c.map.assign(b.begin() + static_cast<long>(p), b.begin() + static_cast<long>(p + m));
      if (tags[i].size != c.name.size() + 1 + m + 20) return "COLL_DATA size";
      out->colls.push_back(c);
      ++i;
    }
    if (!block(Node_ATT_END, Node_ATT_COLL)) return "collation block end";
    ++i;
  }
  for (;;) {
    if (!skip_info()) return "info size";
    if (i < tags.size() && tags[i].type == Node_ATT_EOF) break;
    if (!block(Node_ATT_BEGIN, Node_ATT_NODE)) return "node block at tag " + std::to_string(i);
    ++i;
    NodeBlock nb;
    if (i >= tags.size() || tags[i].type != Node_ATT_NODE_DESC || tags[i].size != 32) return "NODE_DESC";
    nb.desc = Node_DecodeArchiveDesc(b.data() + tags[i].at);
    if (nb.desc.new_id != 0) return "NODE_DESC new id";
    ++i;
    if (i < tags.size() && tags[i].type == Node_ATT_NODE_META) {
      if (tags[i].size == 0) return "empty NODE_META";
      nb.meta.assign(b.begin() + static_cast<long>(tags[i].at),
                     b.begin() + static_cast<long>(tags[i].at + tags[i].size));
      ++i;
    }
    if (i < tags.size() && tags[i].type == Node_ATT_NODE_FLIST) {
      if (nb.desc.flist_items == 0 || tags[i].size != nb.desc.flist_items * 8) return "NODE_FLIST size";
      nb.flist.assign(b.begin() + static_cast<long>(tags[i].at),
                      b.begin() + static_cast<long>(tags[i].at + tags[i].size));
      ++i;
    } else if (nb.desc.flist_items != 0) {
      return "NODE_FLIST missing";
    }
    if (i < tags.size() && tags[i].type == Node_ATT_NODE_ULIST) {
      if (nb.desc.used_clusters == 0 || tags[i].size != nb.desc.used_clusters * 5) return "NODE_ULIST size";
      for (uint32_t k = 0; k < nb.desc.used_clusters; ++k)
        nb.ulist.emplace_back(le_get32(b.data() + tags[i].at + 5 * k), b[tags[i].at + 5 * k + 4]);
      ++i;
    } else if (nb.desc.used_clusters != 0) {
      return "NODE_ULIST missing";
    }
    for (uint32_t k = 0; k < nb.desc.used_clusters; ++k, ++i) {
      if (i >= tags.size() || tags[i].type != Node_ATT_NODE_CLUSTER) return "NODE_CLUSTER missing";
      const uint32_t addr = le_get32(b.data() + tags[i].at);
      if (addr != nb.ulist[k].first || tags[i].size != 4 + nb.ulist[k].second * 8192u)
        return "NODE_CLUSTER " + std::to_string(k);
      nb.clusters.emplace_back(addr, std::vector<uint8_t>(b.begin() + static_cast<long>(tags[i].at + 4),
                                                          b.begin() + static_cast<long>(tags[i].at + tags[i].size)));
    }
    if (!block(Node_ATT_END, Node_ATT_NODE)) return "node block end";
    ++i;
    out->nodes.push_back(std::move(nb));
  }
  if (tags[i].size != 0) return "EOF size";
  if (i + 1 != tags.size()) return "tags after EOF";
  return "";
}

}  // namespace archive_test
