// idb_re.cpp - the wildcard matcher (see idb_re.h).
//
// A compiled pattern is one allocation: a head, the nodes in pattern
// order ('^' first, '$' last; a '*' node always precedes the node it
// repeats) and two rows of match states. The match runs the nodes as an
// automaton over the text, one row of reachable nodes per character, so a
// run of stars costs no backtracking.
#include "access/idb_re.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/panic.h"

namespace {

struct re_node {
  uint8_t type;     // '^', '$', 'L', '.', '[', '!' or '*'
  uint8_t literal;  // 'L'
  uint8_t set[32];  // '[' and '!': bit c is bit (c & 7) of byte (c >> 3) & 31
};

}  // namespace

struct idb_re {
  uint32_t count;  // nodes
  re_node* nodes;
  uint8_t* rows;   // 2 x count match states
};

namespace {

void set_add(re_node* n, unsigned c) { n->set[(c >> 3) & 31] |= static_cast<uint8_t>(1u << (c & 7)); }

bool set_has(const re_node* n, unsigned c) { return (n->set[(c >> 3) & 31] >> (c & 7)) & 1; }

// The character an escaping "\" stands for, given the one after it.
uint8_t esc(uint8_t c) {
  switch (c) {
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 's': return 32;
    case 't': return 9;
    default: return c;
  }
}

// Whether node n takes character c.
bool omatch(const re_node* n, uint8_t c) {
  switch (n->type) {
    case 'L': return n->literal == c;
    case '.': return true;
    case '[': return set_has(n, c);
    case '!': return !set_has(n, c);
    default: panic_assert_failed("omatch: internal error", __FILE__, __LINE__);
  }
}

// Reads the pattern and writes its nodes into out (none: counts only).
// The node count, or -1 when the pattern ends inside a class or escape.
class Parser {
 public:
  Parser(const uint8_t* p, uint32_t len, re_node* out) : p_(p), len_(len), out_(out) {}

  int64_t run() {
    emit('^');
    bool star = false;  // the last node emitted ends a run
    for (uint32_t i = 0; i < len_;) {
      const uint8_t c = p_[i++];
      if (c == '?' && i < len_ && p_[i] == '*') continue;  // joins the run
      if (c == '*') {
        if (!star) {
          emit('*');
          emit('.');
        }
        star = true;
        continue;
      }
      star = false;
      if (c == '?') {
        emit('.');
      } else if (c == '#') {
        re_node* n = emit('[');
        for (unsigned d = '0'; d <= '9'; ++d)
          if (n != nullptr) set_add(n, d);
      } else if (c == '[') {
        if (!read_class(&i)) return -1;
      } else if (c == '\\') {
        if (i >= len_) return -1;
        emit('L')->literal = esc(p_[i++]);
      } else {
        emit('L')->literal = c;
      }
    }
    emit('$');
    return count_;
  }

 private:
  // Emits a node; counting only, a scratch node stands in.
  re_node* emit(uint8_t type) {
    re_node* n = out_ != nullptr ? &out_[count_] : &scratch_;
    ++count_;
    memset(n, 0, sizeof *n);
    n->type = type;
    return n;
  }

  // One class member at *i (escaped or not); false at the pattern's end.
  bool member(uint32_t* i, uint8_t* c) {
    if (*i >= len_) return false;
    if (p_[*i] == '\\') {
      if (*i + 1 >= len_) return false;
      *c = esc(p_[*i + 1]);
      *i += 2;
    } else {
      *c = p_[(*i)++];
    }
    return true;
  }

  // After '[': the class up to its ']'; false when it is not closed.
  bool read_class(uint32_t* i) {
    uint8_t type = '[';
    if (*i < len_ && p_[*i] == '!') {
      type = '!';
      ++*i;
    }
    re_node* n = emit(type);
    for (;;) {
      if (*i >= len_) return false;
      if (p_[*i] == ']') {
        ++*i;
        return true;
      }
      uint8_t lo = 0;
      if (!member(i, &lo)) return false;
      if (*i + 1 < len_ && p_[*i] == '-' && p_[*i + 1] != ']') {
        ++*i;
        uint8_t hi = 0;
        if (!member(i, &hi)) return false;
        // Written high to low: from after the low one up to the high one.
        const unsigned from = lo <= hi ? lo : hi + 1u;
        const unsigned to = lo <= hi ? hi : lo;
        for (unsigned c = from; c <= to; ++c) set_add(n, c);
      } else {
        set_add(n, lo);
      }
    }
  }

  const uint8_t* p_;
  uint32_t len_;
  re_node* out_;
  re_node scratch_{};
  int64_t count_ = 0;
};

// Follows the stars of row: a reachable '*' also reaches what comes after
// the node it repeats.
void close_row(const idb_re* re, uint8_t* row) {
  for (uint32_t j = 1; j + 2 < re->count; ++j)
    if (row[j] && re->nodes[j].type == '*') row[j + 2] = 1;
}

}  // namespace

idb_re* idb__re_compile(int32_t length, const char* pattern) {
  if (length < 1 || pattern == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(pattern);
  const auto len = static_cast<uint32_t>(length);
  const int64_t count = Parser(p, len, nullptr).run();
  if (count < 0) {
    errno = EINVAL;
    return nullptr;
  }
  const size_t nodes_at = (sizeof(idb_re) + alignof(re_node) - 1) / alignof(re_node) * alignof(re_node);
  const size_t rows_at = nodes_at + static_cast<size_t>(count) * sizeof(re_node);
  auto* mem = static_cast<uint8_t*>(malloc(rows_at + 2 * static_cast<size_t>(count)));
  if (mem == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* re = reinterpret_cast<idb_re*>(mem);
  re->count = static_cast<uint32_t>(count);
  re->nodes = reinterpret_cast<re_node*>(mem + nodes_at);
  re->rows = mem + rows_at;
  Parser(p, len, re->nodes).run();
  return re;
}

void idb__re_free(idb_re* re) { free(re); }

uint32_t idb__re_prefix(const idb_re* re, uint8_t* buf, uint32_t size) {
  uint32_t n = 0;
  for (uint32_t j = 1; j < re->count && re->nodes[j].type == 'L' && n < size; ++j)
    buf[n++] = re->nodes[j].literal;
  return n;
}

const uint8_t* idb__re_match(const uint8_t* text, uint32_t length, idb_re* re, bool want_end) {
  const uint32_t m = re->count;
  ZENT_ASSERT(m >= 2 && re->nodes[0].type == '^' && re->nodes[m - 1].type == '$' &&
              "omatch: internal error");
  uint8_t* cur = re->rows;
  uint8_t* next = re->rows + m;
  memset(cur, 0, m);
  cur[1] = 1;
  close_row(re, cur);
  for (uint32_t i = 0; i < length; ++i) {
    memset(next, 0, m);
    bool any = false;
    for (uint32_t j = 1; j + 1 < m; ++j) {
      if (!cur[j]) continue;
      const re_node* n = &re->nodes[j];
      if (n->type == '*') {
        if (omatch(n + 1, text[i])) next[j] = any = true;
        ++j;  // the repeated node is matched through its star only
      } else if (omatch(n, text[i])) {
        next[j + 1] = any = true;
      }
    }
    if (!any) return nullptr;
    close_row(re, next);
    uint8_t* t = cur;
    cur = next;
    next = t;
  }
  if (!cur[m - 1]) return nullptr;
  return want_end && length > 0 ? text + length - 1 : text;
}
