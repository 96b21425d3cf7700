#include "common/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/errors.hpp"

namespace fs = std::filesystem;
using namespace varnel;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnel-files-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FilesTest, WritesWholeFilesAndLeavesNoTemporaries) {
  files::make_dirs(dir_ / "a" / "b");
  files::make_dirs(dir_ / "a" / "b");  // an existing directory is fine
  const fs::path target = dir_ / "a" / "b" / "out.json";
  files::write_atomic(target, "first");
  files::write_atomic(target, "second");
  EXPECT_EQ(files::read_text(target), "second");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "a" / "b"), fs::directory_iterator{}), 1);
}

TEST_F(FilesTest, KeepsPermissionsOfTheReplacedFile) {
  files::make_dirs(dir_);
  const fs::path target = dir_ / "kept";
  files::write_atomic(target, "x");
  ::chmod(target.c_str(), 0640);
  files::write_atomic(target, "y");
  struct stat st {};
  ::stat(target.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FilesTest, ReadsWholeFilesWhateverSizeTheyReport) {
  files::make_dirs(dir_);
  const std::string text(200000, 'x');
  files::write_atomic(dir_ / "big", text);
  EXPECT_EQ(files::read_text(dir_ / "big"), text);
  // Files of the proc file system report a size of 0 and still hold text.
  const std::string status = files::read_text("/proc/self/status");
  EXPECT_NE(status.find("Name:"), std::string::npos);
  EXPECT_EQ(status.back(), '\n');
}

TEST_F(FilesTest, ReportsTheErrnoAndPath) {
  try {
    files::read_text(dir_ / "missing.json");
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_EQ(e.path, (dir_ / "missing.json").string());
  }
  // A failed write leaves nothing behind and changes nothing.
  EXPECT_THROW(files::write_atomic(dir_ / "no-such-dir" / "x", "data"), OsError);
}
