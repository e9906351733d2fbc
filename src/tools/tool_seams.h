// tool_seams.h - engine services the utilities start that are not built yet.
// Each is a plainly named stand-in, listed in the README under "Not yet
// built"; the step that builds the real service deletes its stand-in here
// (as in src/server/server_seams.cpp) and the tools link the real one.
#pragma once

// Fixed-size record files: nothing to set up until they exist. 0.
int FixRec_Init();
