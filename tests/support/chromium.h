// chromium.h - a page as a real browser shows it: headless Chromium
// (Debian's chromium package) run as a child process with a fresh profile,
// giving the rendered document (--dump-dom) or a screenshot. Tests that need
// it skip with the reason when the browser is not installed. Header-only.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace testsupport {

// The browser's program, or "" when none is installed.
inline std::string chromium_program() {
  for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

// The options every run takes: no sandbox (tests run as root), no GPU, no
// network of the browser's own, and a profile of its own.
inline std::vector<std::string> chromium_args(const std::string& profile) {
  return {"--headless",  "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--user-data-dir=" + profile};
}

// The document after the page loaded (standard output of --dump-dom).
inline ProcessResult chromium_dump_dom(const std::string& url, const TempDir& dir) {
  std::vector<std::string> args = chromium_args(dir.file("profile-dom"));
  args.push_back("--dump-dom");
  args.push_back(url);
  return run_process(chromium_program(), args, {}, 60000);
}

// A screenshot of the page into png (width x height of the window).
inline ProcessResult chromium_screenshot(const std::string& url, const std::string& png,
                                         const TempDir& dir, int width = 1024, int height = 768) {
  std::vector<std::string> args = chromium_args(dir.file("profile-shot"));
  args.push_back("--screenshot=" + png);
  args.push_back("--window-size=" + std::to_string(width) + "," + std::to_string(height));
  args.push_back("--hide-scrollbars");
  args.push_back(url);
  return run_process(chromium_program(), args, {}, 60000);
}

// Width and height from a PNG file's header; false when it is no PNG.
inline bool png_size(const std::string& path, uint32_t* width, uint32_t* height) {
  const std::string data = read_file(path);
  if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
  auto be32 = [&](size_t at) {
    return uint32_t{static_cast<unsigned char>(data[at])} << 24 |
           uint32_t{static_cast<unsigned char>(data[at + 1])} << 16 |
           uint32_t{static_cast<unsigned char>(data[at + 2])} << 8 |
           uint32_t{static_cast<unsigned char>(data[at + 3])};
  };
  *width = be32(16);
  *height = be32(20);
  return true;
}

}  // namespace testsupport
