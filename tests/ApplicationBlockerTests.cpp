// Tests of the process snapshot parser, target matching, the exemption walk and termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>
#include <tuple>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::RecordedCall;

HelperApp app(const std::string& name, const std::string& path) {
  return HelperApp{"id-" + name, "com." + name, name, path, false, std::nullopt};
}

TEST(ProcessSnapshot, ParsesRightAlignedColumnsKeepsEveryByteAndSkipsOnlyBadLines) {
  const std::string output =
      "    1     0 /sbin/launchd\n"
      "  412     1 /Applications/Chat Beta.app/Contents/MacOS/Chat  --type=renderer   \n"
      "\t77\t412\tcmd\twith tab\n\n12a 1 /bin/trailing-garbage\n2147483648 1 /bin/too-big\n"
      "2147483647 -2147483648 /bin/edge-case\n9 1 /bin/bad-\xff-byte\n"  // not UTF-8, kept as it is
      "10 1 /Applications/Caf\xc3\xa9 \xE0\xA4\x95.app/Contents/MacOS/Caf\xc3\xa9 \xF4\x8F\xBF\xBF\r\n"
      "11 1 last-without-newline";
  const std::vector<RunningProcess> expected = {
      {1, 0, "/sbin/launchd"},
      {412, 1, "/Applications/Chat Beta.app/Contents/MacOS/Chat  --type=renderer"},
      {77, 412, "cmd\twith tab"},
      {2147483647, -2147483648, "/bin/edge-case"},
      {9, 1, "/bin/bad-\xff-byte"},
      {10, 1,
       "/Applications/Caf\xc3\xa9 \xE0\xA4\x95.app/Contents/MacOS/Caf\xc3\xa9 \xF4\x8F\xBF\xBF"},  // é, ka, U+10FFFF
      {11, 1, "last-without-newline"}};
  EXPECT_EQ(parseProcessSnapshot(output), expected);
}

TEST(ApplicationMatching, PathRulesAndTheFirstListedTargetWins) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/Applications/Chat.app", true},
      {"/Applications/Chat.app/Contents/MacOS/Chat --foreground", true},
      {"/Applications/Chat.app/Contents/Helpers/Agent", true},
      {"/usr/bin/open -a /Applications/Chat.app/Contents/MacOS/Chat", true},
      {"/Backup/Applications/Chat.app.old/Contents/MacOS/Chat", false},
      {"/usr/bin/open /Applications/Chat.app", false},
      {"/Applications/Chat.app Beta", false},
      {"/applications/chat.app/Contents/MacOS/Chat", false}};
  for (const auto& [command, matches] : cases) {  // a target without a path matches nothing
    EXPECT_EQ(ApplicationBlocker::matchingProcessIDs({app("Empty", ""), app("Chat", "/Applications/Chat.app")},
                                                     {{100, 1, command}}, {}),
              matches ? std::vector<int32_t>{100} : std::vector<int32_t>{})
        << command;
  }
  // The command line begins with one target's path and holds another's before "/Contents/MacOS/".
  const HelperApp outer = app("Outer", "/A/Chat.app"), inner = app("Inner", "/A/x/A/Chat.app");
  const std::vector<RunningProcess> process = {{100, 1, "/A/x/A/Chat.app/Contents/MacOS/Chat"}};
  EXPECT_EQ(ApplicationBlocker::matchingProcesses({outer, inner, outer}, process, {}),
            (std::vector<MatchedApplicationProcess>{{outer, process[0]}}));
  EXPECT_EQ(ApplicationBlocker::matchingProcesses({inner, outer}, process, {}),
            (std::vector<MatchedApplicationProcess>{{inner, process[0]}}));
}

// What macOS's ps prints of a text in a UTF-8 locale (Libc's vis.c with VIS_TAB | VIS_NL |
// VIS_NOSLASH), for the characters these tests use. A character it escapes (the tab and U+200D;
// on 13 also U+00A0 and U+3000) comes out as the bytes of its code point, each as "\ooo" when it
// is the tab or its low seven bits are a space, else as "M" for the high bit, then "^" and a
// control's letter or "-" and the byte. In byte mode (a byte that does not decode follows the
// text on the line) every other character, too, comes out as the bytes of its code point.
std::string macOSForm(const std::string& text, int version, bool byteMode = false) {
  std::string printed;
  for (size_t at = 0, length = 1; at < text.size(); at += length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    const bool escaped = c == '\t' || c == 0x200D || (version == 13 && (c == 0xA0 || c == 0x3000));
    if (!escaped && !byteMode) printed.append(text, at, length);
    for (int shift = 16; (escaped || byteMode) && shift >= 0; shift -= 8) {
      const unsigned char byte = static_cast<unsigned char>(c >> shift), low = byte & 0x7F;
      if (c >> shift == 0 && shift > 0) continue;  // no leading zero bytes
      if (!escaped) {
        printed += static_cast<char>(byte);
      } else if (c == '\t' || low == ' ') {
        printed += "\\" + std::to_string(byte >> 6) + std::to_string(byte >> 3 & 7) + std::to_string(byte & 7);
      } else {
        printed += std::string(byte & 0x80 ? "M" : "") + (low < ' ' ? '^' : '-');
        printed += static_cast<char>(low < ' ' ? low + '@' : low);
      }
    }
  }
  return printed;
}

TEST(ApplicationMatching, TargetsMatchAsPrintedByTheProcessStatusToolAndWhateverBytesTheLineHolds) {
  // Lines as macOS 13 and 14 print them (where 14's differs, it comes second), for bundles whose
  // names hold a tab, a no-break space, U+3000 and an emoji joined by U+200D; lines with an
  // argument that is not UTF-8, so in byte mode ("é" is the byte E9, "中" 4E 2D); and names in
  // the other normalization form.
  const std::vector<std::tuple<HelperApp, std::string, std::string>> cases = {
      {app("Tab", "/Applications/My\tTool.app"), "/Applications/My\\011Tool.app/Contents/MacOS/My\\011Tool", ""},
      {app("Space", "/A/Chat\u00A0Pro.app"), "/A/Chat\\240Pro.app/Contents/MacOS/Chat", "/A/Chat\u00A0Pro.app/x"},
      {app("Wide", "/A/Note\u3000Pad.app"), "/A/Note-0^@Pad.app", "/A/Note\u3000Pad.app"},
      {app("Emoji", "/A/\U0001F469\u200D\U0001F4BB.app"), "/bin/x /A/\U0001F469\\040^M\U0001F4BB.app/Contents/MacOS/",
       ""},
      {app("Chat", "/Applications/Chat.app"), "/Applications/Chat.app/Contents/MacOS/Chat --args \xff\xfe", ""},
      {app("Cafe", "/A/Caf\u00E9 \u4E2D.app"), "/A/Caf\xE9 N-.app/Contents/MacOS/Caf\xE9 \xff", ""},
      {app("Composed", "/A/Caf\u00E9.app"), "/A/Cafe\u0301.app/Contents/MacOS/Cafe\u0301", ""},
      {app("Decomposed", "/A/Cafe\u0301.app"), "/A/Caf\xE9.app/Contents/MacOS/Caf\xE9 -x \xff", ""},
  };
  for (const int version : {13, 14}) {
    const PrintedForms macOS = [version](const std::string& text) {
      std::vector<std::string> forms;
      for (const auto& spelling : unicodeSpellings(text)) {
        forms.insert(forms.end(), {macOSForm(spelling, version), macOSForm(spelling, version, true)});
      }
      return forms;
    };
    for (const auto& [target, line13, line14] : cases) {
      const std::string& line = version == 14 && !line14.empty() ? line14 : line13;
      const auto snapshot = parseProcessSnapshot("  100   1 " + line + "\n");
      EXPECT_EQ(ApplicationBlocker::matchingProcesses(ApplicationTargetIndex({target}, macOS), snapshot, {}).size(), 1u)
          << "macOS " << version << ": " << line;
    }
  }
#if defined(__APPLE__)
  // The system's own forms. Byte mode: before the stray byte "ś" is 01 5B and "é" E9; after it,
  // each byte is a character of its own, so the 9B of "ś" (C5 9B) is a control.
  const auto forms = processStatusForms("/Applications/My\tTool \u015B\u00E9.app");
  for (const std::string name : {"\u015B\u00E9", "\x01[\xE9", "\xC5M^[\xC3\xA9", "s\u0301e\u0301"}) {
    EXPECT_NE(std::find(forms.begin(), forms.end(), "/Applications/My\\011Tool " + name + ".app"), forms.end()) << name;
  }
#else
  // Names are bytes on Linux: no other normalization form, and no byte mode.
  EXPECT_EQ(processStatusForms("/A/My\tTool e\u0301.app"), std::vector<std::string>{"/A/My?Tool e\u0301.app"});
#endif
}

TEST(ApplicationMatching, ExemptionNeedsEveryEntryAndCoversDescendantsButStopsAtGapsAndCycles) {
  const std::string main = "/Applications/Browser.app/Contents/MacOS/Browser";
  const std::vector<RunningProcess> snapshot = {
      {10, 1, main + " --user-data-dir=/tmp/p --remote-debugging-port=0 mark"},  // the controlled browser
      {11, 10, main + " Helper --type=gpu"},
      {12, 11, main + " Helper --type=renderer"},
      {20, 1, main},
      {21, 20, main + " Helper"},   // the person's own browser
      {30, 999, main + " Helper"},  // parent not in the snapshot
      {40, 41, main + " Helper"},
      {41, 40, main + " Helper"},  // parent cycle
      {50, 0, main + " Helper"}};
  const std::vector<int32_t> all = {10, 11, 12, 20, 21, 30, 40, 41, 50};
  const std::vector<std::pair<std::vector<std::string>, std::vector<int32_t>>> cases = {
      {{"mark", "", "--user-data-dir=/tmp/p", "--remote-debugging-port="}, {20, 21, 30, 40, 41, 50}},
      {{"--user-data-dir=/tmp/p", "--remote-debugging-port=", "other-mark"}, all},
      {{"MARK"}, all},
      {{"", ""}, all}};
  for (const auto& [entries, matched] : cases) {
    const auto found =
        ApplicationBlocker::matchingProcessIDs({app("B", "/Applications/Browser.app")}, snapshot, {{entries}});
    EXPECT_EQ(found, matched) << ::testing::PrintToString(entries);
  }
}

const HelperApp chat = app("chat", "/Applications/Chat.app"), game = app("game", "/Applications/Game.app");
const std::string chatMain = "/Applications/Chat.app/Contents/MacOS/Chat";
const std::string gameMain = "/Applications/Game.app/Contents/MacOS/Game";

TEST(Termination, TermThenKillOnlyWhatStillMatchesNeverSelfRootOrLowIdentifiers) {
  const int32_t self = ::getpid();
  const HelperApp chatCopy = app("chat", "/Users/me/Chat.app");
  auto stage = std::make_shared<size_t>(0);  // the snapshots taken so far
  const RunningProcessesProvider snapshots =
      [stage, list = std::vector<std::vector<RunningProcess>>{
                  {{700, 1, gameMain},
                   {103, 101, chatMain + " Helper"},
                   {101, 1, chatMain},
                   {102, 101, chatMain + " Helper"},
                   {150, 1, "/Users/me/Chat.app/Contents/MacOS/Chat"},
                   {200, 1, gameMain + " --child"},
                   {self, 1, chatMain},
                   {1, 0, chatMain},
                   {160, 1, chatMain} /* runs as root */,
                   {180, 1, gameMain} /* owner unknown: gone */},
                  {{101, 1, chatMain},
                   {102, 1, chatMain + " Helper --allow-me"},  // 101 ignored -TERM; 102 became exempt
                   {200, 1, gameMain + " --child"},
                   {800, 1, gameMain},  // 800 is new: not this call's business
                   {self, 1, chatMain},
                   {1, 0, chatMain}}}] { return list.at((*stage)++); };
  const auto kill = [](const char* signal, int32_t pid) {
    return RecordedCall{.executable = "/bin/kill", .arguments = {signal, std::to_string(pid)}, .allowFailure = true};
  };
  const std::vector<RecordedCall> expected = {kill("-TERM", 101), kill("-TERM", 102), kill("-TERM", 103),
                                              kill("-TERM", 150), kill("-TERM", 200), kill("-TERM", 700),
                                              kill("-KILL", 101)};  // 200 was taken by a root process
  const std::vector<std::string> paths = {chat.path, chatCopy.path, game.path};
  testing::RecordingRunner runner;
  runner.handle("/bin/kill", [](const std::vector<std::string>& arguments, bool) -> std::string {
    if (arguments[1] == "102") throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/kill");
    if (arguments[1] == "103") throw HelperCommandError::commandFailed("kill: (103) - No such process");
    return "";
  });
  const ProcessOwnerProvider owner = [stage](int32_t pid) -> std::optional<uid_t> {
    if (pid == 180) return std::nullopt;
    return pid == 160 || (pid == 200 && *stage > 1) ? 0 : 501;
  };
  const auto events = ApplicationBlocker(testing::sandboxPaths("/nonexistent", testing::Sandbox::real), runner.runner(),
                                         snapshots, owner)
                          .terminate({game, chat, chatCopy}, "session-1", {AllowedProcessMatcher{{"--allow-me"}}});
  EXPECT_EQ(runner.calls(), expected);
  ASSERT_EQ(events.size(), 3u);  // one per (bundle identifier, path), in order of the lowest process identifier
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::tie(events[i].path, events[i].sessionID), std::tie(paths[i], "session-1"));
  EXPECT_TRUE(events[0].id != events[1].id && events[1].id.size() == 36 && events[1].id[23] == '-');  // a UUID
}

}  // namespace
}  // namespace vellorin
