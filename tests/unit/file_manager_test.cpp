// File operations and path helpers.
#include "platform/file_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using platform::FileManager;

namespace {

class FileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dir = platform::createUniqueDirectory("fm-test-");
    ASSERT_TRUE(dir);
    root = *dir;
  }
  void TearDown() override { fs::remove_all(root); }

  std::string put(const std::string& name, const std::string& content) {
    std::string path = root + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string root;
  FileManager files;
};

TEST_F(FileManagerTest, UniqueDirectoriesArePrivateAndDistinct) {
  struct stat st;
  ASSERT_EQ(::stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(root.starts_with(platform::temporaryDirectory() + "fm-test-"));
  auto other = platform::createUniqueDirectory("fm-test-");
  ASSERT_TRUE(other);
  EXPECT_NE(*other, root);
  fs::remove(*other);
  EXPECT_FALSE(platform::createUniqueDirectory("no/slashes"));
}

TEST_F(FileManagerTest, TemporaryDirectoryFollowsTmpdir) {
  const char* old = ::getenv("TMPDIR");
  std::string saved = old ? old : "";
  ::setenv("TMPDIR", root.c_str(), 1);
  EXPECT_EQ(platform::temporaryDirectory(), root + "/");
  auto inside = platform::createUniqueDirectory("x");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(platform::temporaryDirectory(), "/tmp/");
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  ASSERT_TRUE(inside);
  EXPECT_EQ(fs::path(*inside).parent_path().string(), root);
}

TEST_F(FileManagerTest, ListingsAreSortedByBytes) {
  for (const char* name : {"b", "B", "a.jar", ".hidden", "\xC3\xA9", "Z", "10", "9"}) put(name, "");
  fs::create_directory(root + "/dir");
  auto names = files.contentsOfDirectory(root);
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, (std::vector<std::string>{".hidden", "10", "9", "B", "Z", "a.jar", "b", "dir",
                                              "\xC3\xA9"}));
  EXPECT_FALSE(files.contentsOfDirectory(root + "/missing"));
  EXPECT_FALSE(files.contentsOfDirectory(root + "/b"));
  EXPECT_EQ(files.contentsOfDirectory(root + "/dir"), std::vector<std::string>{});
}

TEST_F(FileManagerTest, ReadsFilesAndRejectsInvalidUtf8) {
  EXPECT_EQ(files.readUtf8File(put("ok", "17.0.2\n")), "17.0.2\n");
  EXPECT_EQ(files.readUtf8File(put("bom", "\xEF\xBB\xBFtext")), "text");
  EXPECT_EQ(files.readUtf8File(put("empty", "")), "");
  for (const std::string& bad : {std::string("\xFF"), std::string("a\xC3"), std::string("\xC0\xAF"),
                                 std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80")}) {
    std::string path = put("bad", bad);
    EXPECT_FALSE(files.readUtf8File(path)) << bad;
    EXPECT_EQ(files.readFile(path), bad);
  }
  // A large file, and a kernel file that says it is empty but holds several pages: read whole.
  const std::string large(200000, 'x');
  EXPECT_EQ(files.readFile(put("large", large)), large);
  const auto smaps = files.readFile("/proc/self/smaps");
  ASSERT_TRUE(smaps);
  EXPECT_GT(smaps->size(), 3 * 4096u);
  EXPECT_TRUE(smaps->ends_with("\n"));
  EXPECT_NE(smaps->find("\nRss:"), std::string::npos);
  EXPECT_FALSE(files.readFile(root + "/missing"));
  EXPECT_FALSE(files.readFile(root));
  // A named pipe (an options file someone replaced) is refused at once, not waited on.
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
  EXPECT_FALSE(files.readFile(root + "/pipe"));
}

TEST_F(FileManagerTest, CreatesDirectories) {
  std::string error;
  EXPECT_FALSE(files.createDirectory(root + "/a/b", false, &error));
  EXPECT_NE(error.find(root + "/a/b"), std::string::npos);
  EXPECT_TRUE(files.createDirectory(root + "/a/b", true));
  EXPECT_TRUE(files.isDirectory(root + "/a/b"));
  EXPECT_TRUE(files.createDirectory(root + "/a/b", true))
      << "an existing directory is fine with intermediates";
  EXPECT_FALSE(files.createDirectory(root + "/a/b", false));
  put("file", "");
  EXPECT_FALSE(files.createDirectory(root + "/file", true, &error));
  EXPECT_FALSE(files.createDirectory(root + "/file/sub", true));
}

TEST_F(FileManagerTest, RemovesWithoutFollowingLinks) {
  put("keep/inside", "x");
  put("tree/a/b", "x");
  fs::create_directory_symlink(root + "/keep", root + "/tree/link");
  EXPECT_TRUE(files.removeItem(root + "/tree"));
  EXPECT_FALSE(files.fileExists(root + "/tree"));
  EXPECT_TRUE(files.isRegularFile(root + "/keep/inside"));
  EXPECT_FALSE(files.removeItem(root + "/tree"));

  EXPECT_FALSE(files.removeFile(root + "/keep"));
  EXPECT_TRUE(files.isDirectory(root + "/keep"));
  fs::create_symlink(root + "/keep", root + "/dirlink");
  EXPECT_TRUE(files.removeFile(root + "/dirlink"));
  EXPECT_TRUE(files.removeFile(root + "/keep/inside"));
}

TEST_F(FileManagerTest, ExistenceFollowsLinks) {
  fs::create_symlink(root + "/nowhere", root + "/dangling");
  EXPECT_FALSE(files.fileExists(root + "/dangling"));
  bool isDir = true;
  EXPECT_TRUE(files.fileExists(put("f", ""), &isDir));
  EXPECT_FALSE(isDir);
  EXPECT_TRUE(files.fileExists(root, &isDir));
  EXPECT_TRUE(isDir);
  EXPECT_FALSE(files.fileExists(""));
}

TEST(PathTest, Helpers) {
  EXPECT_EQ(platform::joinPath("/a", "b"), "/a/b");
  EXPECT_EQ(platform::joinPath("/a/", "/b"), "/a/b");
  EXPECT_EQ(platform::joinPath("", "b"), "b");
  EXPECT_EQ(platform::joinPath("/a", ""), "/a");
  EXPECT_EQ(platform::joinPath("/", "b"), "/b");
  EXPECT_EQ(platform::deletingLastPathComponent("/a/b/c"), "/a/b");
  EXPECT_EQ(platform::deletingLastPathComponent("/a/b/"), "/a");
  EXPECT_EQ(platform::deletingLastPathComponent("/x"), "/");
  EXPECT_EQ(platform::deletingLastPathComponent("/"), "/");
  EXPECT_EQ(platform::deletingLastPathComponent("name"), "");
  EXPECT_EQ(platform::lastPathComponent("/a/b.app/"), "b.app");
  EXPECT_EQ(platform::lastPathComponent("name"), "name");
  EXPECT_EQ(platform::lastPathComponent("/"), "/");
  EXPECT_TRUE(platform::isAbsolutePath("/x"));
  EXPECT_TRUE(platform::isAbsolutePath("~/x"));
  EXPECT_FALSE(platform::isAbsolutePath("x"));
  EXPECT_FALSE(platform::isAbsolutePath(""));
  EXPECT_EQ(platform::absolutePath("/x"), "/x");
  EXPECT_EQ(platform::absolutePath("x"), fs::current_path().string() + "/x");
  // An empty path names nothing, not the current directory.
  EXPECT_EQ(platform::absolutePath(""), "");
}

}  // namespace
