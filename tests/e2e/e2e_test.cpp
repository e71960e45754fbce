// End to end: the real window (Qt, offscreen), the posix serial line, and
// tesmar-sim on a pseudo-terminal in a process of its own. The window is
// driven from inside its own event loops by a timer that acts like a user:
// Load Hex File (the dialog opens on the file of the settings), RUN, Yes,
// and Quit once the upload has ended.

#include <gtest/gtest.h>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/profile_store.h"
#include "app/tesmar_app.h"
#include "serial/posix/posix_serial_line.h"
#include "sim/hex_text.h"
#include "sim/instrument.h"
#include "sim/samples.h"
#include "ui/qt/qt_window_host.h"
#include "ui/window.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSuccess = "Programming completed successfully";

QApplication& application() {
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        static int argc = 1;
        static char name[] = "tesmar";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

// tesmar-sim as a child process; ended (SIGTERM) if it is still running when
// this object goes.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(TESMAR_SIM_PATH));
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                ::dup2(devNull, STDOUT_FILENO);
            }
            ::execv(TESMAR_SIM_PATH, argv.data());
            ::_exit(127);
        }
    }
    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits up to limit for the process to end; its exit code, or -1.
    int waitExit(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

bool waitForPath(const fs::path& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (fs::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Acts like a user on the main window, polled from whichever event loop runs
// (the window's, a box's or the upload's drain). Every step is queued, so
// that no handler runs nested inside this timer's own tick.
class User : public QObject {
  public:
    User() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, this, [this] { giveUp(); });
        guard_.start(60'000);
    }

    std::vector<std::string> unexpectedBoxes;
    std::string fileDialogSelection;
    std::vector<std::string> statuses;  // every status seen, in order
    bool gaveUp = false;

  private:
    enum class State { Load, FileDialog, Ready, Confirm, Uploading, Done, GivingUp };

    QWidget* mainWindow() {
        if (main_) {
            return main_;
        }
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && qobject_cast<QMessageBox*>(w) == nullptr &&
                qobject_cast<QFileDialog*>(w) == nullptr && button(w, "Load Hex File") != nullptr) {
                main_ = w;
                run_ = button(w, "RUN");
                quit_ = button(w, "Quit");
                load_ = button(w, "Load Hex File");
            }
        }
        return main_;
    }
    static QPushButton* button(QWidget* w, const QString& text) {
        for (QPushButton* b : w->findChildren<QPushButton*>()) {
            if (b->text() == text) {
                return b;
            }
        }
        return nullptr;
    }
    bool statusShows(const QString& text, bool whole) {
        for (QLabel* l : main_->findChildren<QLabel*>()) {
            if (whole ? l->text() == text : l->text().contains(text)) {
                return true;
            }
        }
        return false;
    }
    static void press(QAbstractButton* b) {
        QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection);
    }

    void noteStatus() {
        // The second status line is the label below the first one.
        QLabel* lowest = nullptr;
        for (QLabel* l : main_->findChildren<QLabel*>()) {
            if (l->frameShape() != QFrame::NoFrame &&
                (lowest == nullptr || l->geometry().y() > lowest->geometry().y())) {
                lowest = l;
            }
        }
        if (lowest != nullptr) {
            const std::string text = lowest->text().toStdString();
            if (statuses.empty() || statuses.back() != text) {
                statuses.push_back(text);
            }
        }
    }

    void tick() {
        if (mainWindow() == nullptr) {
            return;
        }
        noteStatus();
        QWidget* modal = QApplication::activeModalWidget();
        auto* box = qobject_cast<QMessageBox*>(modal);
        auto* files = qobject_cast<QFileDialog*>(modal);
        switch (state_) {
            case State::Load:
                if (box == nullptr && files == nullptr) {
                    state_ = State::FileDialog;
                    press(load_);
                }
                break;
            case State::FileDialog:
                if (files != nullptr && files->isVisible()) {
                    const QStringList chosen = files->selectedFiles();
                    fileDialogSelection = chosen.isEmpty() ? "" : chosen.first().toStdString();
                    state_ = State::Ready;
                    QMetaObject::invokeMethod(files, &QDialog::accept, Qt::QueuedConnection);
                }
                break;
            case State::Ready:
                if (box != nullptr) {
                    dismiss(box);
                } else if (files == nullptr && statusShows("Ready to Run", false)) {
                    state_ = State::Confirm;
                    press(run_);
                }
                break;
            case State::Confirm:
                if (box != nullptr && box->isVisible() &&
                    box->text().startsWith("You are about to perform")) {
                    state_ = State::Uploading;
                    press(box->button(QMessageBox::Yes));
                }
                break;
            case State::Uploading:
                if (box != nullptr && box->isVisible()) {
                    dismiss(box);
                } else if (!run_->isEnabled() && run_->text() == "Run") {
                    state_ = State::Done;
                    press(quit_);
                }
                break;
            case State::Done:
                break;
            case State::GivingUp:
                endNow(modal);
                break;
        }
    }

    void dismiss(QMessageBox* box) {
        if (handled_ == box) {
            return;
        }
        handled_ = box;
        unexpectedBoxes.push_back(box->text().toStdString());
        QAbstractButton* b = box->button(QMessageBox::Ok);
        if (b == nullptr) {
            b = box->button(QMessageBox::No);
        }
        if (b != nullptr) {
            press(b);
        }
    }

    // Past the time limit: every box is closed and Quit pressed, so that a
    // run that does not end fails instead of hanging.
    void giveUp() {
        gaveUp = true;
        state_ = State::GivingUp;
    }
    void endNow(QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QMetaObject::invokeMethod(box, &QDialog::reject, Qt::QueuedConnection);
        } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            QMetaObject::invokeMethod(files, &QDialog::reject, Qt::QueuedConnection);
        } else if (quit_ && !quitPressed_) {
            quitPressed_ = true;
            press(quit_);
        }
    }

    QTimer timer_;
    QTimer guard_;
    State state_ = State::Load;
    QPointer<QWidget> main_;
    QPointer<QPushButton> run_;
    QPointer<QPushButton> quit_;
    QPointer<QPushButton> load_;
    QPointer<QMessageBox> handled_;
    bool quitPressed_ = false;
};

struct E2eCase {
    const char* name;
    int row;
    // What the device holds after the upload, as tesmar-sim dumps it.
    std::array<uint8_t, sim::kImageBytes> (*expected)(int row);
};

std::array<uint8_t, sim::kImageBytes> blockExpected(int row) {
    const sim::DeviceRow device = sim::deviceRow(row);
    return sim::dumpView(
        sim::expectedDeviceMemory(sim::sampleImage(row, false), device, sim::UploadKind::Plain),
        device.family);
}

std::array<uint8_t, sim::kImageBytes> queryExpected(int row) {
    std::array<uint8_t, sim::kImageBytes> memory;
    memory.fill(0xFF);
    for (const auto& [word, value] : sim::expectedQueryWords(sim::sampleFirmware(row, false))) {
        memory[static_cast<size_t>(2 * word)] = static_cast<uint8_t>(value & 0xFF);
        memory[static_cast<size_t>(2 * word + 1)] = static_cast<uint8_t>(value >> 8);
    }
    return sim::dumpView(memory, sim::deviceRow(row).family);
}

class EndToEnd : public ::testing::TestWithParam<E2eCase> {};

TEST_P(EndToEnd, UploadsTheSampleFileToTheSimulatorOnAPseudoTerminal) {
    const E2eCase& c = GetParam();
    application();
    const fs::path dir = fs::path(::testing::TempDir()) /
                         ("tesmar_e2e_" + std::to_string(::getpid()) + "_" + c.name);
    fs::remove_all(dir);
    fs::create_directories(dir / "config");

    {
        SimProcess samples({"--write-samples", (dir / "samples").string()});
        ASSERT_TRUE(samples.started());
        ASSERT_EQ(samples.waitExit(10s), 0);
    }
    const std::string sample = (dir / "samples" / sim::sampleFileName(c.row, false)).string();
    ASSERT_TRUE(fs::exists(sample)) << sample;

    const fs::path link = dir / "tty";
    const fs::path dump = dir / "dump.hex";
    SimProcess simulator({"--row", std::to_string(c.row), "--mode", "app", "--link", link.string(),
                          "--dump", dump.string(), "--once"});
    ASSERT_TRUE(simulator.started());
    ASSERT_TRUE(waitForPath(link, 5s)) << "tesmar-sim made no pseudo-terminal";

    const std::string settingsFile = (dir / "config" / "tesmar.INI").string();
    {
        std::ofstream ini(settingsFile);
        ini << "[Ports]\nCOM1=" << link.string() << "\n[Tesmar]\nComPort=1\nInPath=" << sample
            << "\n";
    }

    ui::setApplicationName("tesmar");
    const app::ProfileStore profile(settingsFile);
    serial::PosixSerialLine line(
        [&profile](const std::string& name) { return app::ResolvePortPath(profile, name); });
    ui::qt::QtBackend backend;
    CTesmarApp theApp(backend, line, settingsFile);
    User user;
    theApp.InitInstance();

    EXPECT_FALSE(user.gaveUp) << "the upload did not end in time";
    EXPECT_TRUE(user.unexpectedBoxes.empty()) << user.unexpectedBoxes.front();
    EXPECT_EQ(fs::path(user.fileDialogSelection), fs::path(sample));
    ASSERT_FALSE(user.statuses.empty());
    EXPECT_EQ(user.statuses.back(), kSuccess);

    // The simulator ends once the port is closed and writes its dump.
    ASSERT_EQ(simulator.waitExit(10s), 0);
    std::vector<std::string> lines;
    ASSERT_TRUE(sim::readTextLines(dump.string(), lines)) << dump;
    std::array<uint8_t, sim::kImageBytes> held;
    held.fill(0xFF);
    const sim::HexParse parsed = sim::parseHexLines(lines, held);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_GT(parsed.dataRecords, 0);
    EXPECT_EQ(held, c.expected(c.row));

    // Quit saved the settings: the path of the file that was uploaded.
    EXPECT_EQ(profile.GetProfileString("Tesmar", "InPath", ""), sample);
    fs::remove_all(dir);
}

const E2eCase kCases[] = {
    {"BlockUploadRow2", 2, blockExpected},
    {"QueryUploadRow1", 1, queryExpected},
};

INSTANTIATE_TEST_SUITE_P(Samples, EndToEnd, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
