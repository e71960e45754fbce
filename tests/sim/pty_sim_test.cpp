// tesmar-sim on a pseudo-terminal, driven by a small host script: the
// announcement, one block written and read back, the dump on exit, and a
// second session after the host closed the port. Short real time-outs only.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/hex_text.h"
#include "sim/instrument.h"

namespace {

const std::string kSim = std::string(TESMAR_BUILD_DIR) + "/sim/tesmar-sim";
constexpr int kWaitMs = 2000;  // a generous bound on one answer; normally a few ms

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/tesmar-sim-test-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

  private:
    std::string path_;
};

// The simulator as a child process; its first output line is the slave path.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(kSim.c_str()));
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(kSim.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }

    // The next line of its output, "" when none came within kWaitMs.
    std::string line() {
        std::string text;
        while (true) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) {
                return "";
            }
            char c = 0;
            if (read(out_, &c, 1) != 1) {
                return "";
            }
            if (c == '\n') {
                return text;
            }
            text.push_back(c);
        }
    }

    // Waits up to kWaitMs for the exit; its status, or -1.
    int waitExit() {
        for (int i = 0; i < kWaitMs / 10; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
};

// The host end: the slave opened raw, as the program's serial port does.
class Port {
  public:
    explicit Port(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Port() { closePort(); }
    void closePort() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    bool ok() const { return fd_ >= 0; }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to n bytes, each within kWaitMs of the one before.
    std::string receive(size_t n) {
        std::string got;
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) {
                break;
            }
            char buffer[128];
            const ssize_t r = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }
    // True when nothing arrives within ms.
    bool quietFor(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

  private:
    int fd_ = -1;
};

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

TEST(TesmarSim, AnnouncesTakesABlockAndDumpsIt) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    SimProcess sim({"--row", "2", "--announce-delay-ms", "20", "--once", "--dump",
                    dir.file("dump.hex"), "--transcript", dir.file("transcript.txt"), "--link",
                    dir.file("port")});
    const std::string path = sim.line();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("port")).string(), path);

    Port port(dir.file("port"));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.receive(1), "Q");
    EXPECT_TRUE(port.quietFor(60));  // announced once
    port.send("p");
    EXPECT_EQ(port.receive(1), "P");

    std::string data;
    for (int i = 0; i < 64; ++i) {
        data.push_back(static_cast<char>(0x80 + i));
    }
    const std::string check = bytes({0x08, 0x40, 'B'});
    port.send(bytes({'a', 0x08, 0x40}) + "b" + "e");
    EXPECT_EQ(port.receive(7), "aA" + check + "eE");
    port.send(bytes({'a', 0x08, 0x40}) + "bw" + data);
    EXPECT_EQ(port.receive(8), "aA" + check + "wwW");
    port.send(bytes({'a', 0x08, 0x40}) + "br");
    EXPECT_EQ(port.receive(71), "aA" + check + "r" + data + "R");
    port.closePort();
    EXPECT_EQ(sim.waitExit(), 0);

    std::vector<std::string> dump;
    ASSERT_TRUE(sim::readTextLines(dir.file("dump.hex"), dump));
    std::array<uint8_t, sim::kImageBytes> written{};
    written.fill(0xFF);
    for (int i = 0; i < 64; ++i) {
        written[static_cast<size_t>(0x840 + i)] = static_cast<uint8_t>(0x80 + i);
    }
    while (!dump.empty() && dump.back().empty()) {
        dump.pop_back();
    }
    EXPECT_EQ(dump, sim::hexRecordsOf(written));  // four records and the end record

    std::vector<std::string> transcript;
    ASSERT_TRUE(sim::readTextLines(dir.file("transcript.txt"), transcript));
    std::string all;
    for (const auto& l : transcript) {
        all += l + "\n";
    }
    EXPECT_NE(all.find("port opened"), std::string::npos);
    EXPECT_NE(all.find("-> 'W' 0x57"), std::string::npos);
    EXPECT_NE(all.find("port closed"), std::string::npos);
}

TEST(TesmarSim, AnnouncesAgainOnTheNextOpenAndDumpsOnASignal) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    SimProcess sim({"--row", "4", "--mode", "bootloader", "--announce-delay-ms", "10", "--dump",
                    dir.file("dump.hex")});
    const std::string path = sim.line();
    ASSERT_FALSE(path.empty());
    {
        Port port(path);
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(port.receive(1), "~");
        port.send(bytes({'p', 'a', 0x08, 0x00}));
        EXPECT_EQ(port.receive(3), "Paa");       // the memory write test area answers 'a'
        std::string word = bytes({0x34, 0xFF});  // a PIC16 high byte keeps six bits
        std::string data;
        for (int i = 0; i < 32; ++i) {
            data += word;
        }
        port.send("bw" + data);
        EXPECT_EQ(port.receive(6), bytes({0x08, 0x00, 'B', 'w', 'w', 'W'}));
    }
    // A host takes a moment before it opens the port again; the simulator
    // needs to see the port closed to tell the sessions apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        Port port(path);  // a new session: power on again
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(port.receive(1), "~");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
    std::vector<std::string> dump;
    ASSERT_TRUE(sim::readTextLines(dir.file("dump.hex"), dump));
    ASSERT_GE(dump.size(), 5u);
    // Words 0x3F34: the high bytes went in as 0xFF and were kept to six bits.
    EXPECT_EQ(dump[0], ":10080000343F343F343F343F343F343F343F343F50");
    EXPECT_EQ(dump[3].substr(0, 9), ":10083000");
    EXPECT_EQ(dump[4], ":00000001FF");
}

TEST(TesmarSim, WritesTheSampleFiles) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    SimProcess sim({"--write-samples", dir.file("samples")});
    std::vector<std::string> printed;
    for (std::string l = sim.line(); !l.empty(); l = sim.line()) {
        printed.push_back(l);
    }
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_EQ(printed.size(), 14u);
    EXPECT_TRUE(std::filesystem::exists(dir.file("samples/sample-row2-QV1210.hex")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("samples/sample-row5-JT2302-bootloader.hex")));
}

TEST(TesmarSim, RefusesABadOption) {
    SimProcess sim({"--row", "9"});
    EXPECT_EQ(sim.waitExit(), 2);
}

}  // namespace
