// The file-system layer on a real temporary directory: atomic replacement and planted files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

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

  EXPECT_EQ(std::tuple(readTextFile(temp / "hosts"), fileMode(temp / "hosts"), fileMode(temp / "fresh")),
            std::tuple(std::optional<std::string>("new"), mode_t{0600}, mode_t{0644}));
  EXPECT_EQ(readTextFile(temp / "secret"), "keep") << "a link at the target is replaced, not followed";
  EXPECT_EQ(fileMode(temp / "link"), 0640u);

  std::filesystem::create_directories(temp / "busy" / "inside");  // renaming over it fails
  EXPECT_THROW(fs.writeFileAtomically(temp / "busy", "x"), std::system_error);
  EXPECT_EQ(entries(temp.path()), (std::vector<std::string>{"busy", "fresh", "hosts", "link", "secret"}))
      << "no temporary file may stay behind";
}

TEST(UntrustedRead, RefusesEveryKindOfPlantedFileWithoutQuotingIt) {
  TemporaryDirectory temp;
  writeTextFile(temp / "secret", "root only");
  writeTextFile(temp / "plain", "{}");
  std::filesystem::create_symlink(temp / "secret", temp / "link");
  ASSERT_EQ(::link((temp / "secret").c_str(), (temp / "hard").c_str()), 0);
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  writeTextFile(temp / "big", std::string(2048, 'x'));

  auto& fs = *realFileSystem();
  const UniqueFd directory = fs.openDirectory(temp.path());
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "plain", 1024), "{}");
  EXPECT_EQ(fs.readUntrustedFileAt(directory.get(), "missing", 1024), std::nullopt);
  // The refusal is the text a failed response carries: it names the problem, never the content.
  for (const auto& [name, text] :
       std::vector<std::pair<std::string, std::string>>{{"link", "link is a symbolic link."},
                                                        {"hard", "hard has more than one link."},
                                                        {"fifo", "fifo is not a regular file."},
                                                        {"big", "big is larger than the size limit."}}) {
    EXPECT_EQ(failureText([&, name = name] { fs.readUntrustedFileAt(directory.get(), name, 1024); }), text);
  }
  EXPECT_FALSE(fs.openDirectoryAt(directory.get(), "link")) << "a link is never opened as a directory";
}

}  // namespace
}  // namespace vellorin
