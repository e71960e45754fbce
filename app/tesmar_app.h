#pragma once

// The application: restores the four settings into the main window, runs it
// modally, and writes the settings back only when it ends with OK (Quit).

#include <string>

#include "serial/serial_line.h"
#include "ui/window.h"

class CTesmarApp {
  public:
    // backend runs the window; line is the serial line the window's port uses;
    // settingsFile is the full path of the INI file (folder + name + ".INI").
    CTesmarApp(ui::Backend& backend, serial::SerialLine& line, std::string settingsFile);

    // The whole life of the main window. Returns false: the program then ends.
    bool InitInstance();

    const std::string& settingsFile() const { return settingsFile_; }

  private:
    ui::Backend& backend_;
    serial::SerialLine& line_;
    std::string settingsFile_;
};
