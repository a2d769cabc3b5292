// What the helper's process puts right before it opens anything (standard descriptors that exist, a
// character locale its tools can show every name in), and the daemon's log after a rotation.
#pragma once

#include <filesystem>
#include <string>

namespace vellorin {

// Opens /dev/null, read-only, on each of descriptors 0, 1 and 2 that is closed, so that every tool
// the helper starts inherits a standard input, and no file the helper opens later takes the number
// of standard output or standard error, where a result or an error line would then land. Read-only
// on purpose: a write to a standard stream that was closed still fails. Throws std::system_error
// when /dev/null cannot be opened.
void ensureStandardDescriptors();

// Sets the file-creation mask to 022, whatever the parent left: a directory the helper creates (the
// state directory among them) is then never open to writing by others, and nothing it creates is
// narrower than the mode it asks for.
void setFileCreationMask();

// Gives the tools the helper starts (they inherit its environment) a UTF-8 character locale. The
// process listing shows every byte of a command line that lies outside the character locale's set
// as an escape, so under launchd's empty environment, "env -i" or LC_ALL=C an application with a
// name that is not ASCII would never match its target. The environment is judged as
// setlocale(LC_ALL, "") judges it, which fails as a whole when any category names a locale the
// system lacks. When it does not lead to a UTF-8 character locale, LC_ALL is removed and every
// category is named on its own: the character type a UTF-8 locale, each other category the locale
// the environment gave it where the system has that one, otherwise "C". The helper's own locale
// stays "C". Throws std::system_error when the environment cannot be changed.
void ensureUtf8CharacterLocale();

// The character locale the helper's tools get (after ensureUtf8CharacterLocale): LC_ALL, LC_CTYPE
// or LANG, the first that is set and not empty, otherwise "C".
std::string toolCharacterLocale();

// For a daemon whose standard error is a log that gets rotated (renamed, then replaced by a new
// file): when `path` no longer names the file that `fd` writes to, `fd` is reopened on `path`,
// appending, and the file is created with mode 0644 if it is missing. A failure leaves `fd` as it
// was and is not reported: there is nowhere left to report it.
void followLogRotation(int fd, const std::filesystem::path& path);

}  // namespace vellorin
