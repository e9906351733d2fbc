// idb_re.h - the wildcard matcher: a client's search pattern for a
// character item, compiled once when a find starts and matched against
// field values during the gets that follow.
//
// Syntax: '?' any character; '*' any run (several '*', and a '?' just
// before one, count as one run); '#' a digit; "[...]" a class, "[!...]"
// its complement, with ranges "a-z" ("z-a" holds 'b' to 'z'), '-' first
// or just before ']' itself and "\" escaping one character; "\" outside a
// class escapes the next character ("\b", "\f", "\n", "\r", "\s", "\t"
// stand for 8, 12, 10, 13, 32 and 9). Anything else is itself.
//
// A compiled pattern is owned by its caller (one set cursor); matching
// uses scratch room inside it, so one pattern serves one task at a time.
// A match takes time in O(text x pattern) and allocates nothing.
#pragma once
#include <cstdint>

struct idb_re;

// None, with errno set, when length < 1 or pattern is none (EINVAL), the
// pattern ends inside a class or right after an escaping "\" (EINVAL), or
// memory runs out (ENOMEM).
idb_re* idb__re_compile(int32_t length, const char* pattern);

// Frees a compiled pattern (none is allowed).
void idb__re_free(idb_re* re);

// The pattern's leading literal characters (those before the first
// wildcard or class): copies at most size of them into buf and returns how
// many it copied, so the prefix never runs past the caller's span.
uint32_t idb__re_prefix(const idb_re* re, uint8_t* buf, uint32_t size);

// Whether the whole text matches: the text's start, or with want_end its
// last character (the start for an empty text); none when it does not.
const uint8_t* idb__re_match(const uint8_t* text, uint32_t length, idb_re* re, bool want_end);
