// The formatting the volume tools print through: lines shorter and longer
// than its first buffer come out whole.
#include "tools/volume_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(VolTextFormat, LinesOfAnyLengthComeOutWhole) {
  for (const size_t n : {0u, 1u, 511u, 512u, 513u, 1400u, 5000u}) {
    const std::string body(n, 'x');
    EXPECT_EQ(VolText_Printf("Node %s - %d\n", body.c_str(), 7), "Node " + body + " - 7\n") << n;
  }
}

}  // namespace
