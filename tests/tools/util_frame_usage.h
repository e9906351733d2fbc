// util_frame_usage.h - the options the utilities' frame lists in every
// tool's usage, after its first line and before the tool's own.
#pragma once
#include <string>

inline const std::string kCommonUsage =
    "options:\n"
    " -v        - verbose\n"
    " -d flags  - debug flags\n"
    " -c cfg    - configuration file name\n";
