#include "app/profile_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "serial/posix/posix_serial_line.h"
#include "ui/window.h"

namespace app {

namespace {

// Only this much of one line is looked at; the rest of a longer line is
// carried over unread (a value is cut to kMaxTextLength anyway).
constexpr std::size_t kMaxLineBytes = 64 * 1024;
constexpr std::size_t kChunkBytes = 64 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// A file descriptor that closes itself.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// One line of the file as the scan sees it: where it lies (byte offsets) and
// its first kMaxLineBytes characters.
struct Line {
    uint64_t start = 0;  // first byte
    uint64_t end = 0;    // one past the last byte before the terminator
    uint64_t next = 0;   // one past the terminator
    bool terminated = false;
    std::string text;
};

// Reads a file line by line in chunks, so that neither a huge file nor one
// enormous line costs more than a chunk and one bounded line of memory.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // false at the end of the file or on a read error (failed() tells).
    bool next(Line& line) {
        line.start = offset_;
        line.text.clear();
        line.terminated = false;
        bool any = false;
        while (true) {
            if (pos_ == len_ && !fill()) {
                break;
            }
            any = true;
            const char c = buffer_[pos_++];
            ++offset_;
            if (c == '\n') {
                line.terminated = true;
                break;
            }
            if (c == '\r' && (pos_ < len_ || fill()) && buffer_[pos_] == '\n') {
                ++pos_;
                ++offset_;
                line.terminated = true;
                crlf_ = crlf_.value_or(true);
                line.end = offset_ - 2;
                line.next = offset_;
                return true;
            }
            if (line.text.size() < kMaxLineBytes) {
                line.text.push_back(c);
            }
        }
        if (line.terminated) {
            crlf_ = crlf_.value_or(false);
            line.end = offset_ - 1;
        } else {
            line.end = offset_;
        }
        line.next = offset_;
        return any;
    }

    bool failed() const { return failed_; }
    // The terminator the file's lines use, once one has been seen.
    std::optional<bool> crlf() const { return crlf_; }

  private:
    bool fill() {
        if (eof_) {
            return false;
        }
        while (true) {
            const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            if (n > 0) {
                pos_ = 0;
                len_ = static_cast<std::size_t>(n);
                return true;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            failed_ = n < 0;
            eof_ = true;
            return false;
        }
    }

    int fd_;
    std::array<char, kChunkBytes> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    uint64_t offset_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::optional<bool> crlf_;
};

enum class LineKind { Blank, Comment, Section, Key, Other };

struct Parsed {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
    std::size_t indent = 0;  // blanks before a key name
};

Parsed parse(std::string_view text) {
    Parsed p;
    const std::string_view t = trim(text);
    if (t.empty()) {
        p.kind = LineKind::Blank;
        return p;
    }
    if (t.front() == ';' || t.front() == '#') {
        p.kind = LineKind::Comment;
        return p;
    }
    if (t.front() == '[') {
        const auto close = t.rfind(']');
        if (close != std::string_view::npos) {
            p.kind = LineKind::Section;
            p.name = trim(t.substr(1, close - 1));
            return p;
        }
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos) {
        return p;
    }
    p.kind = LineKind::Key;
    p.name = trim(t.substr(0, eq));
    p.value = trim(t.substr(eq + 1));
    p.indent = static_cast<std::size_t>(t.data() - text.data());
    return p;
}

// What a scan of the file found for one section and key.
struct ScanResult {
    bool readable = false;  // the file exists and was read to the end or the key
    bool sectionFound = false;
    bool keyFound = false;
    std::string value;                     // of the key, as in the file (trimmed)
    std::string keyName;                   // of the key, spelled as in the file
    uint64_t keyStart = 0;                 // first byte of the key name
    uint64_t keyEnd = 0;                   // end of its line, before the terminator
    uint64_t insertAt = 0;                 // after the section's last key (or its header)
    bool insertAfterUnterminated = false;  // that line ends the file without a terminator
    uint64_t size = 0;                     // bytes read (the whole file unless stopped)
    bool endsTerminated = true;            // the last line has a terminator (or none exists)
    std::optional<bool> crlf;
};

// Scans path for section/key. With stopAtKey, reading ends at the key.
ScanResult scan(int fd, std::string_view section, std::string_view key, bool stopAtKey) {
    ScanResult r;
    LineReader reader(fd);
    Line line;
    bool inSection = false;
    bool sectionSeen = false;  // only the first section of the name counts
    while (reader.next(line)) {
        r.size = line.next;
        r.endsTerminated = line.terminated;
        const Parsed p = parse(line.text);
        if (p.kind == LineKind::Section) {
            inSection = !sectionSeen && sameName(p.name, section);
            if (inSection) {
                sectionSeen = true;
                r.sectionFound = true;
                r.insertAt = line.next;
                r.insertAfterUnterminated = !line.terminated;
            }
            continue;
        }
        if (!inSection || p.kind != LineKind::Key || r.keyFound) {
            continue;
        }
        r.insertAt = line.next;
        r.insertAfterUnterminated = !line.terminated;
        if (sameName(p.name, key)) {
            r.keyFound = true;
            r.value = std::string(p.value);
            r.keyName = std::string(p.name);
            r.keyStart = line.start + p.indent;
            r.keyEnd = line.end;
            if (stopAtKey) {
                break;
            }
        }
    }
    r.crlf = reader.crlf();
    r.readable = !reader.failed();
    return r;
}

std::string textValue(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    if (value.size() > ProfileStore::kMaxTextLength) {
        value = value.substr(0, ProfileStore::kMaxTextLength);
    }
    return std::string(value);
}

// An optional sign and the leading decimal digits; 0 when there are none.
// Like the Windows call, the value wraps around at 32 bits.
int32_t integerValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

// The value as written into the file. One that reading would change (blanks
// at either end, or a pair of enclosing quotes of its own) goes between
// double quotes, so that it reads back exactly as it was written.
std::string storedValue(const std::string& value) {
    if (value.empty()) {
        return value;
    }
    const bool blankEnds = isBlank(value.front()) || isBlank(value.back());
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return (blankEnds || quoted) ? "\"" + value + "\"" : value;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies bytes [from, to) of in to out.
bool copyRange(int in, int out, uint64_t from, uint64_t to) {
    std::array<char, kChunkBytes> buffer{};
    while (from < to) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), to - from));
        const ssize_t n = ::pread(in, buffer.data(), want, static_cast<off_t>(from));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // an error, or the file shrank under us
        }
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            return false;
        }
        from += static_cast<uint64_t>(n);
    }
    return true;
}

// Creates the missing folders of dir, each readable by the user only.
void makeFolders(const std::filesystem::path& dir) {
    if (dir.empty()) {
        return;
    }
    std::error_code ec;
    if (std::filesystem::exists(dir, ec)) {
        return;
    }
    makeFolders(dir.parent_path());
    ::mkdir(dir.c_str(), 0700);
}

// The file a write replaces: the target of a symbolic link, so that the link
// stays a link.
std::filesystem::path writeTarget(const std::string& filePath) {
    std::error_code ec;
    const std::filesystem::path p(filePath);
    if (std::filesystem::is_symlink(p, ec)) {
        auto resolved = std::filesystem::weakly_canonical(p, ec);
        if (!ec) {
            return resolved;
        }
    }
    return p;
}

}  // namespace

std::optional<std::string> ProfileStore::Find(const std::string& section,
                                              const std::string& key) const {
    Fd fd(::open(filePath_.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    const ScanResult r = scan(fd.get(), section, key, true);
    if (!r.keyFound) {
        return std::nullopt;
    }
    return textValue(r.value);
}

std::string ProfileStore::GetProfileString(const std::string& section, const std::string& key,
                                           const std::string& defaultValue) const {
    return Find(section, key).value_or(defaultValue);
}

int32_t ProfileStore::GetProfileInt(const std::string& section, const std::string& key,
                                    int32_t defaultValue) const {
    const auto text = Find(section, key);
    return text ? integerValue(*text) : defaultValue;
}

bool ProfileStore::WriteProfileInt(const std::string& section, const std::string& key,
                                   int32_t value) {
    return WriteProfileString(section, key, std::to_string(value));
}

bool ProfileStore::WriteProfileString(const std::string& section, const std::string& key,
                                      const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    const std::filesystem::path target = writeTarget(filePath_);

    // The old file, if there is one. One that exists but cannot be read is
    // left alone rather than replaced by what little we know of it.
    Fd in(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0 && errno != ENOENT) {
        return false;
    }
    ScanResult r;
    struct stat oldStat {};
    const bool haveOld = in.get() >= 0;
    if (haveOld) {
        if (::fstat(in.get(), &oldStat) != 0 || !S_ISREG(oldStat.st_mode)) {
            return false;
        }
        r = scan(in.get(), section, key, false);
        if (!r.readable) {
            return false;
        }
    }
    const std::string nl = r.crlf.value_or(false) ? "\r\n" : "\n";
    const std::string stored = storedValue(value);

    // The edit: bytes [cutFrom, cutTo) of the old file give way to insert.
    uint64_t cutFrom = r.size;
    uint64_t cutTo = r.size;
    std::string insert;
    if (r.keyFound) {
        cutFrom = r.keyStart;
        cutTo = r.keyEnd;
        insert = r.keyName + "=" + stored;
    } else if (r.sectionFound) {
        cutFrom = cutTo = r.insertAt;
        if (r.insertAfterUnterminated) {
            insert += nl;
        }
        insert += key + "=" + stored + nl;
    } else {
        if (r.size > 0) {
            insert += r.endsTerminated ? nl : nl + nl;
        }
        insert += "[" + section + "]" + nl + key + "=" + stored + nl;
    }

    const std::filesystem::path dir = target.parent_path();
    makeFolders(dir);

    // A new file beside the old one, renamed over it once it is on the disk.
    const mode_t mode = haveOld ? (oldStat.st_mode & 07777) : 0666;
    std::string tempName;
    Fd out;
    for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
        tempName =
            target.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        out.reset(::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (out.get() < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (out.get() < 0) {
        return false;
    }
    bool ok = true;
    if (haveOld) {
        // The old file's permissions, not those the umask leaves.
        if (::fchmod(out.get(), mode) != 0) {
            // Not ours to change: the new file keeps what the umask gave it.
        }
        ok = copyRange(in.get(), out.get(), 0, cutFrom);
    }
    ok = ok && writeAll(out.get(), insert.data(), insert.size());
    if (haveOld) {
        ok = ok && copyRange(in.get(), out.get(), cutTo, r.size);
    }
    ok = ok && ::fsync(out.get()) == 0;
    ok = (::close(out.release()) == 0) && ok;
    ok = ok && ::rename(tempName.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tempName.c_str());
        return false;
    }
    // The rename itself is on the disk once the folder is.
    Fd folder(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) {
        ::fsync(folder.get());
    }
    return true;
}

std::string ResolvePortPath(const ProfileStore& profile, const std::string& name) {
    if (auto mapped = profile.Find("Ports", name); mapped && !mapped->empty()) {
        return *mapped;
    }
    return serial::defaultPortPath(name);
}

std::string SettingsFilePath(const std::string& executablePath, const char* xdgConfigHome,
                             const char* home) {
    std::string name = ui::applicationNameFromPath(executablePath);
    if (name.empty()) {
        name = "tesmar";
    }
    name += ".INI";

    std::string folder;
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        folder = xdgConfigHome;
    } else {
        std::string homeFolder = home != nullptr ? home : "";
        if (homeFolder.empty() || homeFolder.front() != '/') {
            const passwd* pw = ::getpwuid(::getuid());
            homeFolder = (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "";
        }
        if (!homeFolder.empty() && homeFolder.front() == '/') {
            folder = homeFolder + "/.config";
        }
    }
    if (folder.empty()) {
        return name;  // no home at all: the current folder
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder == "/" ? folder + name : folder + "/" + name;
}

std::string SettingsFilePath(const std::string& executablePath) {
    return SettingsFilePath(executablePath, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

}  // namespace app
