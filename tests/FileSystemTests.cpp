// The file-system layer on a real temporary directory: atomic replacement and planted files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readTextFile;
using testing::writeTextFile;

size_t entryCount(const std::filesystem::path& directory) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

TEST(AtomicWrite, KeepsTheReplacedModeAndGivesNewFiles0644) {
  TemporaryDirectory temp;
  FileSystem fs;
  writeTextFile(temp / "hosts", "old", 0600);
  fs.writeFileAtomically(temp / "hosts", "new");
  EXPECT_EQ(readTextFile(temp / "hosts"), "new");
  EXPECT_EQ(fileMode(temp / "hosts"), 0600u);

  const mode_t previous = ::umask(077);  // the mode must not depend on the caller's umask
  fs.writeFileAtomically(temp / "fresh", "x");
  ::umask(previous);
  EXPECT_EQ(fileMode(temp / "fresh"), 0644u);

  fs.writeFileAtomically(temp / "hosts", "asked", WriteOptions{0640, false});
  EXPECT_EQ(fileMode(temp / "hosts"), 0640u);
  EXPECT_EQ(entryCount(temp.path()), 2u) << "no temporary file may stay behind";
}

TEST(AtomicWrite, ReplacesALinkAtTheTargetInsteadOfFollowingIt) {
  TemporaryDirectory temp;
  writeTextFile(temp / "secret", "keep");
  std::filesystem::create_symlink(temp / "secret", temp / "target");
  FileSystem().writeFileAtomically(temp / "target", "mine");
  EXPECT_EQ(readTextFile(temp / "secret"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(temp / "target"));
  EXPECT_EQ(readTextFile(temp / "target"), "mine");
}

TEST(AtomicWrite, AFailedRenameLeavesTheTargetAndNoTemporaryFile) {
  TemporaryDirectory temp;
  std::filesystem::create_directories(temp / "target" / "inside");  // rename over a non-empty directory fails
  EXPECT_THROW(FileSystem().writeFileAtomically(temp / "target", "x"), std::system_error);
  EXPECT_EQ(entryCount(temp.path()), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(temp / "target" / "inside"));
}

TEST(UntrustedRead, RefusesEveryKindOfPlantedFile) {
  TemporaryDirectory temp;
  writeTextFile(temp / "secret", "root only");
  writeTextFile(temp / "plain", "{}");
  std::filesystem::create_symlink(temp / "secret", temp / "link");
  ASSERT_EQ(::link((temp / "secret").c_str(), (temp / "hard").c_str()), 0);
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(temp / "dir");
  writeTextFile(temp / "big", std::string(2048, 'x'));

  FileSystem fs;
  const UniqueFd directory = fs.openDirectory(temp.path());
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "plain", 1024), "{}");
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "missing", 1024), std::nullopt);
  for (const char* name : {"link", "hard", "fifo", "dir", "big"}) {
    try {
      fs.readUntrustedFileAt(directory.get(), name, 1024);
      ADD_FAILURE() << name << " was read";
    } catch (const RefusedFileError& error) {
      EXPECT_EQ(std::string(error.what()).find("root only"), std::string::npos) << name;
    }
  }
}

TEST(RemoveEntry, RemovesOneNameAndADirectoryOnlyWhenEmpty) {
  TemporaryDirectory temp;
  FileSystem fs;
  std::filesystem::create_directories(temp / "full");
  writeTextFile(temp / "full" / "keep", "k");
  std::filesystem::create_directories(temp / "empty");
  writeTextFile(temp / "target", "t");
  std::filesystem::create_symlink(temp / "target", temp / "link");

  const UniqueFd directory = fs.openDirectory(temp.path());
  EXPECT_FALSE(fs.removeEntryAt(directory.get(), "full"));
  EXPECT_TRUE(readTextFile(temp / "full" / "keep"));
  EXPECT_TRUE(fs.removeEntryAt(directory.get(), "empty"));
  EXPECT_TRUE(fs.removeEntryAt(directory.get(), "link"));
  EXPECT_TRUE(readTextFile(temp / "target")) << "the link's target must survive";
  EXPECT_FALSE(fs.removeEntryAt(directory.get(), "missing"));
  EXPECT_FALSE(fs.removeFile(temp / "no-such-dir" / "x"));
}

TEST(MoveAndCopy, ReplaceTheTargetInOneStepAndKeepTheMode) {
  TemporaryDirectory temp;
  FileSystem fs;
  writeTextFile(temp / "backup", "original", 0640);
  writeTextFile(temp / "hosts", "changed");
  fs.copyFile(temp / "backup", temp / "copy");
  EXPECT_EQ(fileMode(temp / "copy"), 0640u);
  fs.moveFile(temp / "backup", temp / "hosts");
  EXPECT_EQ(readTextFile(temp / "hosts"), "original");
  EXPECT_FALSE(fs.exists(temp / "backup"));
  EXPECT_EQ(fs.readFile(temp / "missing"), std::nullopt);
  EXPECT_THROW(fs.readFile(temp.path()), std::system_error);
}

}  // namespace
}  // namespace vellorin
