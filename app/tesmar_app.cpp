#include "app/tesmar_app.h"

#include <utility>

#include "app/profile_store.h"
#include "app/tesmar_dlg.h"

namespace {
constexpr const char* kSection = "Tesmar";
constexpr const char* kComPortKey = "ComPort";
constexpr const char* kInPathKey = "InPath";
constexpr const char* kScriptPathKey = "ScriptPath";
constexpr const char* kPicTypeKey = "PICtype";
constexpr int32_t kDefaultComPort = 1;
constexpr int32_t kDefaultPicType = 1;
}  // namespace

CTesmarApp::CTesmarApp(ui::Backend& backend, serial::SerialLine& line, std::string settingsFile)
    : backend_(backend), line_(line), settingsFile_(std::move(settingsFile)) {}

bool CTesmarApp::InitInstance() {
    // The window lives exactly as long as this call.
    CTesmarDlg dlg(line_);
    app::ProfileStore profile(settingsFile_);

    dlg.comPort = profile.GetProfileInt(kSection, kComPortKey, kDefaultComPort);
    dlg.path = profile.GetProfileString(kSection, kInPathKey, "");
    dlg.scriptPath = profile.GetProfileString(kSection, kScriptPathKey, "");
    dlg.deviceNumber = profile.GetProfileInt(kSection, kPicTypeKey, kDefaultPicType);

    // Quit (or Enter) ends with OK and keeps the settings; a close request or
    // Esc ends with Cancel and leaves the file untouched. A failed write goes
    // unnoticed: the program ends normally either way.
    if (dlg.DoModal(backend_) == ui::DialogResult::Ok) {
        profile.WriteProfileInt(kSection, kComPortKey, dlg.comPort);
        profile.WriteProfileString(kSection, kInPathKey, dlg.path);
        profile.WriteProfileString(kSection, kScriptPathKey, dlg.scriptPath);
        profile.WriteProfileInt(kSection, kPicTypeKey, dlg.deviceNumber);
    }
    return false;
}
