// crash_point.h - named crash points in the engine, for the crash-test
// harness. In test builds (ZENT_CRASH_POINTS: every tree built with
// ZENT_TESTS, of any build type) each
// CRASH_POINT(name) counts its hits; when the environment variable
// ZENT_CRASH_POINT names it ("name" or "name:n", the n-th hit) the armed
// action runs there: by default the process ends at once (_exit 86), as
// after a power cut; tests install an action that cuts the file double's
// power and leaves the code under test. Other builds compile the points to
// nothing.
//
// Context: any thread; the points sit on the server thread's paths.
#pragma once

#ifdef ZENT_CRASH_POINTS
#define CRASH_POINT(name) crash_point_hit(name)
#else
#define CRASH_POINT(name) ((void)0)
#endif

void crash_point_hit(const char* name);
using CrashPointAction = void (*)(const char* name);
// The action taken at the armed point (none: _exit(86)).
void crash_point_set_action(CrashPointAction action);
// Reads ZENT_CRASH_POINT again and restarts the count of hits.
void crash_point_arm_from_env();
// Hits of name since the last arm (tests).
int crash_point_hits(const char* name);
