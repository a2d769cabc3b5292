// Tests of undoing the packet-filter block: the pf tool calls, the configuration and the anchor.
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/Models.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

ino_t inode(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// Restore releases the trimmed token, or disables pf when forced or without a token; pf.conf loses
// our lines and keeps its mode, and one that is not UTF-8 is never rewritten. Without any trace of
// the block (token, our lines, rules in the anchor) the helper never touches pf nor either file: a
// VPN's kill switch or the administrator's own rules live there.
TEST(PacketFilterBlockerTest, RestoreUndoesOnlyATraceOfTheBlockAndKeepsTheConfigurationWhole) {
  using Text = std::optional<std::string>;
  struct Case {
    Text token;
    bool force;
    std::string conf;  // followed by our lines when `hooked`
    bool hooked;
    Text anchor, released, unhooked;  // rules left in the anchor; the token released with -X (nothing: pf
  };                                  // disabled, "none": no pf call); pf.conf afterwards (nothing: unchanged)
  const Case cases[] = {
      // The token's Unicode white space goes: back over a 3-byte line separator, never into the 4-byte emoji.
      {"\xC2\xA0tok\xF0\x9F\x98\x80\xE2\x80\xA8", false, "a\r\nb\n# app.vellorin.helper\n", true, "rules\n",
       "tok\xF0\x9F\x98\x80", "a\n\nb\n"},
      {"tok", true, "a\n", true, "rules\n", std::nullopt, "a\n"},
      {"tok", false, "pass \xFF all\n", true, "rules\n", "tok", std::nullopt},
      {std::nullopt, false, "pass out all\n", false, "block drop all\n", std::nullopt, std::nullopt},
      {std::nullopt, false, "pass out all\n", false, " \n", "none", std::nullopt},
  };
  for (const auto& c : cases) {
    TemporaryDirectory root;
    makeSandboxSystemDirectories(root.path());
    const auto paths = sandboxPaths(root.path(), Sandbox::real);
    RecordingRunner recorder;
    const std::string anchorLines = "anchor \"app.vellorin.helper\"\nload anchor \"app.vellorin.helper\" from \"" +
                                    paths.pfAnchorPath.string() + "\"\n";
    const std::string conf = c.conf + (c.hooked ? anchorLines : "");
    if (c.token) writeTextFile(paths.pfTokenPath, *c.token);
    writeTextFile(paths.pfConfPath, conf, 0600);
    writeTextFile(paths.pfAnchorPath, c.anchor.value(), 0640);
    const auto before = std::pair(inode(paths.pfConfPath), inode(paths.pfAnchorPath));
    PacketFilterBlocker(paths, realFileSystem(), recorder.runner()).restore(c.force);

    std::vector<RecordedCall> calls;
    if (c.released != "none")
      calls.push_back({"/sbin/pfctl",
                       c.released ? std::vector<std::string>{"-X", *c.released, "-f", paths.pfConfPath.string()}
                                  : std::vector<std::string>{"-d", "-f", paths.pfConfPath.string()},
                       true});
    EXPECT_EQ(recorder.calls(), calls) << c.conf;
    EXPECT_EQ(readTextFile(paths.pfConfPath), c.unhooked.value_or(conf));
    EXPECT_EQ(std::pair(fileMode(paths.pfConfPath), fileMode(paths.pfAnchorPath)),
              std::pair(mode_t{0600}, mode_t{0640}));
    EXPECT_FALSE(std::filesystem::exists(paths.pfTokenPath));
    if (c.released == "none") {
      EXPECT_EQ(std::pair(inode(paths.pfConfPath), inode(paths.pfAnchorPath)), before) << "untouched";
    } else {
      EXPECT_EQ(readTextFile(paths.pfAnchorPath), "");
    }
  }
}

}  // namespace
}  // namespace vellorin
