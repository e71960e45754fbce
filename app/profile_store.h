#pragma once

// The settings file: a small INI-format profile store that reads and writes
// like the Windows private-profile calls it stands in for.
//
// Reading
// - Section and key names match without regard to the case of ASCII letters;
//   surrounding blanks of names and values do not count. A line whose first
//   non-blank character is ';' or '#' is a comment; a line without '=' in a
//   section is kept but never matches. The first section of a name is the one
//   searched, and in it the first key of a name.
// - A text value loses one pair of enclosing quotes (both ' or both ") and is
//   cut to kMaxTextLength characters. Absence of the file, the section or the
//   key gives the default.
// - An integer is the default only when the key is absent. Otherwise it is an
//   optional sign followed by the leading decimal digits ("12abc" is 12), 0
//   when there are none (an empty value, "abc"). Digits beyond the range of a
//   32-bit value wrap around, as the Windows call does.
// - A broken file (binary junk, lines of any length, a huge file) is read as
//   far as it makes sense and never costs more memory than one bounded line.
//
// Writing
// - Replaces the value of the key's first line, keeping that line's key name;
//   a missing key goes after the last key of the section, a missing section is
//   appended at the end; a missing file (and its folder) is created. Every
//   other byte of the file stays as it was, and added lines end the way the
//   file's lines end (CR LF or LF).
// - The new file is written beside the old one, flushed to the disk and
//   renamed over it, so a crash or a full disk never leaves a truncated or
//   half-written settings file. A value with a line break is refused: it
//   would turn into lines of its own. A value that reading would change
//   (blanks at its ends, enclosing quotes of its own) is written between
//   double quotes, so that it reads back as it was written.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace app {

class ProfileStore {
  public:
    static constexpr std::size_t kMaxTextLength = 4095;

    explicit ProfileStore(std::string filePath) : filePath_(std::move(filePath)) {}

    const std::string& filePath() const { return filePath_; }

    // The text of section/key, or defaultValue when it is absent.
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const;
    // The integer of section/key, or defaultValue when the key is absent.
    int32_t GetProfileInt(const std::string& section, const std::string& key,
                          int32_t defaultValue) const;
    // The value as it stands in the file (trimmed, quotes removed, cut to
    // kMaxTextLength), or nothing when the key is absent.
    std::optional<std::string> Find(const std::string& section, const std::string& key) const;

    // true when the file now holds the value; false when the file could not
    // be written (it is then unchanged) or the value holds a line break.
    bool WriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value);
    // The value in decimal.
    bool WriteProfileInt(const std::string& section, const std::string& key, int32_t value);

  private:
    std::string filePath_;
};

// The device a port name stands for on this system: the entry "COM<n>" of the
// section "Ports" of the settings file when it is there and not empty,
// otherwise serial::defaultPortPath (/dev/ttyS<n-1> for "COM<n>").
std::string ResolvePortPath(const ProfileStore& profile, const std::string& name);

// The settings file of the program started as executablePath: the
// executable's file name without folder and extension followed by ".INI", in
// the user's configuration folder ($XDG_CONFIG_HOME when it is set to an
// absolute path, otherwise $HOME/.config; the folder is created when the file
// is first written). On Windows it will be the Windows directory, where the
// system's profile functions keep such files.
std::string SettingsFilePath(const std::string& executablePath);
// The same with the two environment values given (nullptr = not set).
std::string SettingsFilePath(const std::string& executablePath, const char* xdgConfigHome,
                             const char* home);

}  // namespace app
