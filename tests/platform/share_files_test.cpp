// Files beneath a share: resolution rows (".." and links that lead out are
// refused, names matched without case), listings with their attributes,
// regular files only for reading, and saving by write-beside-and-rename
// with a failed save that leaves the old file whole.
#include "platform/share_files.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#include "support/process_runner.h"

namespace {

namespace fs = std::filesystem;

class ShareFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(share("Sub/Deeper"));
    dir_.write("share/Sub/File.TXT", "file");
    dir_.write("share/.hidden", "h");
    dir_.write("outside.txt", "outside");
    symlink(dir_.file("outside.txt").c_str(), share("out-abs").c_str());
    symlink("../outside.txt", share("out-rel").c_str());
    symlink("Sub/File.TXT", share("in-rel").c_str());
    symlink("Sub", share("dir-link").c_str());
    mkfifo(share("fifo").c_str(), 0600);
  }
  std::string share(const std::string& rel = "") const { return dir_.file("share") + (rel.empty() ? "" : "/" + rel); }
  std::string read(const std::string& rel, int* err) {
    int fd = -1;
    uint64_t size = 0;
    *err = 0;
    if (platform::share_open_read(share().c_str(), rel.c_str(), &fd, &size) != 0) {
      *err = errno;
      return {};
    }
    std::string out(size, '\0');
    EXPECT_EQ(pread(fd, out.data(), size, 0), static_cast<ssize_t>(size));
    close(fd);
    return out;
  }
  testsupport::TempDir dir_;
};

TEST_F(ShareFiles, ReadingResolvesBeneathTheShareOnly) {
  const struct {
    const char* rel;
    int err;
    const char* text;
  } rows[] = {
      {"Sub/File.TXT", 0, "file"},
      {"sub/file.txt", 0, "file"},        // absent as given: matched without case
      {"SUB\\FILE.txt", 0, "file"},       // either separator
      {"./sub//file.txt", 0, "file"},
      {"in-rel", 0, "file"},              // a link that stays inside
      {"dir-link/file.txt", 0, "file"},
      {"../outside.txt", EXDEV, ""},
      {"sub/../../outside.txt", EXDEV, ""},
      {"sub/..", EXDEV, ""},
      {"out-abs", EXDEV, ""},
      {"out-rel", EXDEV, ""},
      {"missing.txt", ENOENT, ""},
      {"missing/file.txt", ENOENT, ""},
      {"sub", EISDIR, ""},
      {"fifo", EINVAL, ""},               // refused before it could block
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rel);
    int err = 0;
    const std::string text = read(row.rel, &err);
    EXPECT_EQ(err, row.err);
    EXPECT_EQ(text, row.text);
  }
}

struct Listed {
  std::map<std::string, platform::ShareEntry> entries;
  std::map<std::string, std::string> names;
};

bool collect(const platform::ShareEntry& e, void* ctx) {
  auto* l = static_cast<Listed*>(ctx);
  l->entries[e.name] = e;
  l->names[e.name] = e.name;
  l->entries[e.name].name = l->names[e.name].c_str();
  return true;
}

TEST_F(ShareFiles, ListingAttributes) {
  chmod(share("Sub/File.TXT").c_str(), 0444);
  Listed l;
  bool remote = true;
  ASSERT_EQ(platform::share_list_dir(share().c_str(), "", &remote, collect, &l), 0);
  EXPECT_FALSE(remote);
  EXPECT_EQ(l.entries.count("."), 0u);
  EXPECT_EQ(l.entries.count(".."), 0u);
  EXPECT_EQ(l.entries.count("fifo"), 0u) << "only files and directories";
  EXPECT_EQ(l.entries.count("out-abs"), 0u) << "a link out is left out";
  EXPECT_EQ(l.entries.count("out-rel"), 0u);
  ASSERT_EQ(l.entries.count(".hidden"), 1u);
  EXPECT_TRUE(l.entries[".hidden"].hidden);
  ASSERT_EQ(l.entries.count("Sub"), 1u);
  EXPECT_TRUE(l.entries["Sub"].is_dir);
  EXPECT_TRUE(l.entries["Sub"].holds_subdir);
  ASSERT_EQ(l.entries.count("dir-link"), 1u);
  EXPECT_TRUE(l.entries["dir-link"].is_dir);
  ASSERT_EQ(l.entries.count("in-rel"), 1u);
  EXPECT_EQ(l.entries["in-rel"].size, 4u);

  Listed sub;
  ASSERT_EQ(platform::share_list_dir(share().c_str(), "sub", &remote, collect, &sub), 0);
  ASSERT_EQ(sub.entries.count("File.TXT"), 1u);
  EXPECT_TRUE(sub.entries["File.TXT"].read_only);
  EXPECT_FALSE(sub.entries["Deeper"].holds_subdir);
  EXPECT_EQ(platform::share_list_dir(share().c_str(), "..", &remote, collect, &sub), -1);
  EXPECT_EQ(errno, EXDEV);
}

TEST_F(ShareFiles, SaveModes) {
  const struct {
    const char* what;
    const char* rel;
    bool replace;
    int err;
    const char* file;  // the file on disk afterwards ("" none)
    const char* text;
  } rows[] = {
      {"replace an existing file found without case", "sub/file.txt", true, 0, "Sub/File.TXT", "new"},
      {"create refuses an existing name", "SUB/FILE.TXT", false, EEXIST, "Sub/File.TXT", "new"},
      {"create a new file", "sub/fresh.txt", false, 0, "Sub/fresh.txt", "new"},
      {"replace creates when absent", "sub/other.txt", true, 0, "Sub/other.txt", "new"},
      {"not over a directory", "sub/deeper", true, EISDIR, "", ""},
      {"not over a FIFO", "fifo", true, EINVAL, "", ""},
      {"not out of the share", "../escaped.txt", true, EXDEV, "", ""},
      {"not through a link out", "out-abs", true, EXDEV, "", ""},
      {"not the share itself", "", true, EISDIR, "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    errno = 0;
    const int rc = platform::share_save(share().c_str(), row.rel, row.replace, "new", 3);
    EXPECT_EQ(rc, row.err == 0 ? 0 : -1);
    if (row.err != 0) {
      EXPECT_EQ(errno, row.err);
    }
    if (row.file[0] != '\0') {
      EXPECT_EQ(testsupport::read_file(share(row.file)), row.text);
    }
  }
  EXPECT_FALSE(fs::exists(dir_.file("escaped.txt")));
  EXPECT_EQ(testsupport::read_file(dir_.file("outside.txt")), "outside");
  for (const auto& e : fs::directory_iterator(share("Sub")))
    EXPECT_EQ(e.path().filename().string().rfind(".zentsd-save-", 0), std::string::npos) << "no leftovers";
}

TEST_F(ShareFiles, FailedSaveKeepsTheOldFile) {
  dir_.write("share/keep.txt", "old contents");
  chmod(share("keep.txt").c_str(), 0640);
  // A file-size limit below the new contents makes the write fail midway.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 8;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string big(100, 'n');
  errno = 0;
  const int rc = platform::share_save(share().c_str(), "keep.txt", true, big.data(), big.size());
  const int err = errno;
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, EFBIG);
  EXPECT_EQ(testsupport::read_file(share("keep.txt")), "old contents");
  for (const auto& e : fs::directory_iterator(share()))
    EXPECT_EQ(e.path().filename().string().rfind(".zentsd-save-", 0), std::string::npos);
  // A good save keeps the permissions of the file it replaces.
  ASSERT_EQ(platform::share_save(share().c_str(), "keep.txt", true, big.data(), big.size()), 0);
  struct stat st;
  ASSERT_EQ(stat(share("keep.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(testsupport::read_file(share("keep.txt")), big);
}

}  // namespace
