// The tesmar program: the application object runs the main window in the Qt
// window backend, on the serial ports of this system, with the settings file
// in the user's configuration folder. It takes no command-line arguments.

#include <QApplication>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/profile_store.h"
#include "app/tesmar_app.h"
#include "serial/posix/posix_serial_line.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/qt_window_host.h"
#include "ui/window.h"

namespace {

// The program file itself; argv[0] when the system does not tell.
std::string executablePath(const char* argv0) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !self.empty()) {
        return self.string();
    }
    return argv0 != nullptr ? argv0 : "tesmar";
}

}  // namespace

int main(int argc, char** argv) {
    const char* argv0 = argc > 0 ? argv[0] : nullptr;
    // Qt is given the program's name only: no argument reaches the program,
    // and none changes Qt's behaviour either.
    static char fallbackName[] = "tesmar";
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : fallbackName, nullptr};
    QApplication application(qtArgc, qtArgv);
    // The window's end, not its hiding, ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ui::qt::applicationIcon());

    const std::string executable = executablePath(argv0);
    ui::setApplicationName(ui::applicationNameFromPath(executable));
    const std::string settingsFile = app::SettingsFilePath(executable);
    const app::ProfileStore profile(settingsFile);
    serial::PosixSerialLine line(
        [&profile](const std::string& name) { return app::ResolvePortPath(profile, name); });

    ui::qt::QtBackend backend;
    CTesmarApp theApp(backend, line, settingsFile);
    theApp.InitInstance();  // the whole life of the window; false: the program ends
    return 0;
}
