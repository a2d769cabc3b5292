// The file-system layer on a real temporary directory: atomic replacement and planted files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

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

TEST(AtomicWrite, KeepsModesReplacesLinksAndLeavesNoTemporaryFile) {
  TemporaryDirectory temp;
  auto& fs = *realFileSystem();
  writeTextFile(temp / "hosts", "old", 0600);
  writeTextFile(temp / "secret", "keep");
  std::filesystem::create_symlink(temp / "secret", temp / "link");
  const mode_t previous = ::umask(077);  // the mode must not depend on the caller's umask
  fs.writeFileAtomically(temp / "hosts", "new");
  fs.writeFileAtomically(temp / "fresh", "x");
  fs.writeFileAtomically(temp / "link", "mine", WriteOptions{.mode = 0640, .durable = false});
  ::umask(previous);

  EXPECT_EQ(readTextFile(temp / "hosts"), "new");
  EXPECT_EQ(fileMode(temp / "hosts"), 0600u);
  EXPECT_EQ(fileMode(temp / "fresh"), 0644u);
  EXPECT_EQ(readTextFile(temp / "secret"), "keep") << "a link at the target is replaced, not followed";
  EXPECT_EQ(fileMode(temp / "link"), 0640u);

  std::filesystem::create_directories(temp / "busy" / "inside");  // renaming over it fails
  EXPECT_THROW(fs.writeFileAtomically(temp / "busy", "x"), std::system_error);
  EXPECT_EQ(entryCount(temp.path()), 5u) << "no temporary file may stay behind";
  try {
    fs.writeFileAtomically(temp / "missing" / "x", "x");
    ADD_FAILURE() << "a write into a missing directory must fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT) << error.what();
  }
}

TEST(UntrustedRead, RefusesEveryKindOfPlantedFileWithoutQuotingIt) {
  TemporaryDirectory temp;
  writeTextFile(temp / "secret", "root only");
  writeTextFile(temp / "plain", "{}");
  std::filesystem::create_symlink(temp / "secret", temp / "link");
  ASSERT_EQ(::link((temp / "secret").c_str(), (temp / "hard").c_str()), 0);
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(temp / "dir");
  writeTextFile(temp / "big", std::string(2048, 'x'));

  auto& fs = *realFileSystem();
  const UniqueFd directory = fs.openDirectory(temp.path());
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "plain", 1024), "{}");
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "missing", 1024), std::nullopt);
  // The refusal is the text a failed response carries: it names the problem, never the content.
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"link", "link is a symbolic link."}, {"hard", "hard has more than one link."},
           {"fifo", "fifo is not a regular file."}, {"dir", "dir is not a regular file."},
           {"big", "big is larger than the size limit."}}) {
    try {
      fs.readUntrustedFileAt(directory.get(), name, 1024);
      ADD_FAILURE() << name << " was read";
    } catch (const RefusedFileError& error) {
      EXPECT_EQ(error.what(), text);
    }
  }
  EXPECT_THROW(fs.readFile(temp / "fifo"), std::system_error) << "a trusted path, too, is read only as a file";
  EXPECT_FALSE(fs.openDirectoryAt(directory.get(), "link")) << "a link is never opened as a directory";
  EXPECT_THROW(fs.openDirectoryAt(directory.get(), std::string(300, 'x')), std::system_error);
}

TEST(RemoveEntry, RemovesOneNameAndADirectoryOnlyWhenEmpty) {
  TemporaryDirectory temp;
  auto& fs = *realFileSystem();
  writeTextFile(temp / "full" / "keep", "k");
  std::filesystem::create_directories(temp / "empty");
  writeTextFile(temp / "target", "t");
  std::filesystem::create_symlink(temp / "target", temp / "link");

  const UniqueFd directory = fs.openDirectory(temp.path());
  auto names = fs.listDirectoryAt(directory.get());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"empty", "full", "link", "target"}));
  EXPECT_NO_THROW(fs.makeDirectoryAt(directory.get(), "empty")) << "one that exists is no failure";
  EXPECT_FALSE(fs.removeEntryAt(directory.get(), "full"));
  EXPECT_TRUE(readTextFile(temp / "full" / "keep"));
  EXPECT_TRUE(fs.removeEntryAt(directory.get(), "empty"));
  EXPECT_TRUE(fs.removeEntryAt(directory.get(), "link"));
  EXPECT_TRUE(readTextFile(temp / "target")) << "the link's target must survive";
  EXPECT_FALSE(fs.removeFile(temp / "no-such-dir" / "x"));
}

TEST(Move, ReplacesTheTargetInOneStepAndReportsAFailedRename) {
  TemporaryDirectory temp;
  auto& fs = *realFileSystem();
  writeTextFile(temp / "backup", "saved", 0640);
  writeTextFile(temp / "hosts", "current");
  fs.moveFile(temp / "backup", temp / "hosts");
  EXPECT_EQ(readTextFile(temp / "hosts"), "saved");
  EXPECT_EQ(fileMode(temp / "hosts"), 0640u);
  EXPECT_FALSE(std::filesystem::exists(temp / "backup"));
  try {
    fs.moveFile(temp / "backup", temp / "hosts");
    ADD_FAILURE() << "moving a file that is gone must fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
  EXPECT_EQ(readTextFile(temp / "hosts"), "saved");

  // Across volumes the move is a durable copy beside the target, and the source goes.
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(temp.path().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second volume at /dev/shm";
  }
  const std::filesystem::path elsewhere = "/dev/shm/vellorin-move-" + std::to_string(::getpid());
  writeTextFile(elsewhere, "from another volume", 0600);
  fs.moveFile(elsewhere, temp / "hosts");
  EXPECT_EQ(readTextFile(temp / "hosts"), "from another volume");
  EXPECT_EQ(fileMode(temp / "hosts"), 0600u);
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

}  // namespace
}  // namespace vellorin
