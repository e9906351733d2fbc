// ini_file.h - reader for configuration files of the INI kind: section lines
// "[name]" followed by item lines "name = value".
//
// The kind of a line is decided by its first character only: ';' or '#' a
// comment, '[' a section (the name runs to the first ']'; without one the
// line is ignored), anything else an item when it holds '='. Item names are
// trimmed and upper-cased; values lose leading white space and, unquoted,
// trailing white space; a leading ' or " opens a quote that the same quote
// closes; CR, LF, ';' and '#' end a value even inside quotes.
//
// Lines are read whole, whatever their length; a name or value longer than
// the caller's buffer is cut to it and the cut is logged. Nothing is cached:
// each call reads the file from where its stream stands.
//
// The slot table (three open files) is process-wide and guarded by a lock;
// one slot must not be used by two threads at once.
#pragma once
#include <cstdio>

inline constexpr int kIniSlots = 3;

// Clears the slot table and marks it ready (done on first use otherwise).
void IniInitFiles();

// Opens path ("rb") in the first free slot and, when section is non-empty,
// searches it from the start: found leaves the stream after the section
// line, not found at the end of the file (the open still succeeds). Returns
// the slot, or -1: no free slot (errno 28), open failure (errno of the
// system), read error during the search.
int IniOpenFile(const char* path, const char* section);
// Closes the slot's stream; a slot outside 0..2 or not open: errno 22, -1.
int IniCloseFile(int slot);
// Rewinds; with a non-empty section searches it. 0 found (or no section
// given: the stream stands at the start of the file), 1 not found, -1 error.
int IniFindSection(int slot, const char* section);
// Next item of the current section: 0 read, 1 end of section or file, -1
// error (also a size below 1 or a bad slot).
int IniReadItem(int slot, char* item, int item_size, char* value, int value_size);
// The section of the next section line: 0 found, 1 end of file, -1 error.
int IniReadSection(int slot, char* name, int size);

// Reads lines until a section line named section (any case). With copy,
// every line read is first written to it byte for byte, the matching
// section line included. 1 found (stream after that line), 0 end of file,
// -1 when the copy could not be written or the stream failed.
int IniSkipToSection(FILE* stream, const char* section, FILE* copy);
// Next item line before the next section line: 1 with both buffers filled;
// 0 at the end of the file or at a section line, which is left unread so
// that later calls return 0 too; -1 on a read error or a size below 1.
int IniParseItem(FILE* stream, char* item, int item_size, char* value, int value_size);
// Name of the next section line, trimmed and upper-cased: 1 found, 0 end of
// file, -1 size below 1 or read error.
int IniReadSectionName(FILE* stream, char* name, int size);
// From the stream's position, the value of the first item of the current
// section whose trimmed name equals entry (any case): 1 found, 0 not found.
int IniFindEntry(FILE* stream, const char* entry, char* value, int size);
// Value of entry in section of the file at path ("" section: the items
// before the first section line), or def when the file, section or entry is
// missing; cut to size - 1 and always terminated. Returns its length.
int IniGetString(const char* section, const char* entry, const char* def, char* dest, int size,
                 const char* path);

// Handle form: a slot number, or -1 when closed.
using IniHandle = int;
void IniInitHandle(IniHandle* handle);
// Closes the handle's previous slot, opens path: 0, or -1 (handle -1).
int IniOpen(IniHandle* handle, const char* path, const char* section);
// Closes and sets -1; always 0.
int IniClose(IniHandle* handle);
int IniSelectSection(IniHandle* handle, const char* section);
int IniNextItem(IniHandle* handle, char* item, int item_size, char* value, int value_size);

// Log letter for the reader's own messages ('A' in the server, the
// configuration letter of the daemon there).
void IniSetLogLetter(int letter);
