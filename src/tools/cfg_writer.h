// cfg_writer.h - sets one key of one section, or replaces the lines of one
// section, of a configuration file of the INI kind (zentdb6.cfg), keeping
// every other line byte for byte.
//
// The file is never left half written: the new text goes to a temporary
// file beside it, which is flushed and then renamed over the file, and the
// directory is synced. A power loss at any point leaves the old file or the
// new one, whole. Files go through the file layer in use (platform/file.h).
//
// Context: the volume utilities' only thread.
#pragma once

// Sets key = value in section (none: the lines before the first section):
// a line of section whose key matches (trimmed, any case) is replaced, else
// the line goes at the end of the section; a missing section is appended;
// a missing file is created. New lines are "key=value" ended by CR LF.
// Returns 1 written, 0 failed (the file as it was; the reason is logged).
int cfg_set_key(const char* section, const char* key, const char* value, const char* path);
// Replaces the lines of section with body (whole lines, each ended): the
// lines up to and including the section's header are kept, then body, then
// everything from the next section's header on. A missing section is
// appended as "[section]" LF and body; a missing file is created. Same
// replacement as cfg_set_key. Returns 1 written, 0 failed (the file as it
// was; the reason is logged).
int cfg_set_section(const char* section, const char* body, const char* path);
