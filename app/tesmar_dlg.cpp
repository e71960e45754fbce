#include "app/tesmar_dlg.h"

#include <mutex>
#include <string>

#include "app/about_dlg.h"

namespace {
constexpr const char* kHexFilter = "Hex files (*.hex)|*.hex||";
constexpr const char* kHexExtension = "hex";
constexpr const char* kIdleTitle = "Tesmar";
constexpr const char* kReadyTitlePrefix = "Tesmar: ";
constexpr const char* kNoFileText = "No File Loaded";
constexpr int kPortCount = 9;
}  // namespace

CTesmarDlg::CTesmarDlg(serial::SerialLine& line) : ui::Dialog(res::kMainDialog), commFile(line) {
    processorFamily = 0;
}

void CTesmarDlg::DoDataExchange(ui::DataExchange& dx) {
    dx.text(res::IDC_FILE_TEXT, fileText);
    dx.text(res::IDC_STATUS_TEXT, statusText);
    dx.listIndex(res::IDC_COM_PORT, portIndex);
}

bool CTesmarDlg::OnInitDialog() {
    UpdateData(false);

    const std::string about = res::loadString(res::IDS_ABOUTBOX);
    if (!about.empty()) {
        host()->appendSystemMenuItem(res::IDM_ABOUTBOX, about);
    }

    reloadButton.EnableWindow(false);
    lines.clear();
    lines.reserve(256);
    stopRequested = 0;
    runButton.EnableWindow(false);
    infoButton.EnableWindow(false);
    fileText = kNoFileText;
    statusText.clear();
    for (int i = 0; i < kPortCount; ++i) {
        portSelector.InsertString(i, std::to_string(i + 1));
    }
    portIndex = comPort - 1;
    SetWindowText(kIdleTitle);
    UpdateData(false);
    // The framework gives the focus to the first tab stop, Load Hex File.
    return true;
}

void CTesmarDlg::OnCommand(int id) {
    switch (id) {
        case res::IDC_LOAD_HEX:
            OnLoadHex();
            break;
        case res::IDC_RELOAD_HEX:
            OnReloadHex();
            break;
        case res::IDC_INFO:
            ShowLoadInstructions();
            break;
        case res::IDC_RUN:
            OnRun();
            break;
        default:
            ui::Dialog::OnCommand(id);
            break;
    }
}

void CTesmarDlg::OnSelectionChange(int id) {
    if (id == res::IDC_COM_PORT) {
        OnPortChange();
    }
}

void CTesmarDlg::SetStatus(const std::string& text) {
    statusText = text;
    UpdateData(false);
}

void CTesmarDlg::OnLoadHex() {
    hexLoaded = 0;
    reloadButton.EnableWindow(false);
    UpdateData(true);

    const auto chosen = host()->openFileDialog(kHexFilter, kHexExtension, path);
    if (!chosen) {
        return;
    }
    path = *chosen;
    fileText = path;
    UpdateData(false);

    if (ReadHexFile() < 0) {
        return;
    }
    if (lineCount == 0) {
        return;
    }
    statusText += "  Ready to Run - " + std::to_string(lineCount) + " lines loaded";
    UpdateData(false);
    runButton.EnableWindow(true);
    infoButton.EnableWindow(true);
    SetWindowText(kReadyTitlePrefix + description);
    hexLoaded = 1;
    reloadButton.EnableWindow(true);
}

void CTesmarDlg::OnReloadHex() {
    if (hexLoaded == 0) {
        return;
    }
    if (ReadHexFile() < 0) {
        hexLoaded = 0;
        reloadButton.EnableWindow(false);
        return;
    }
    if (lineCount == 0) {
        return;
    }
    statusText = "Ready to Run - " + std::to_string(lineCount) + " lines loaded";
    UpdateData(false);
    runButton.EnableWindow(true);
    infoButton.EnableWindow(true);
    SetWindowText(kReadyTitlePrefix + description);
}

void CTesmarDlg::OnPortChange() {
    UpdateData(true);
    comPort = portIndex + 1;
}

void CTesmarDlg::OnOK() {
    stopRequested = 1;
    std::lock_guard<std::recursive_mutex> lock(uploadLock);
    ui::Dialog::OnOK();
}

void CTesmarDlg::OnClose() {
    stopRequested = 1;
    std::lock_guard<std::recursive_mutex> lock(uploadLock);
    ui::Dialog::OnCancel();
}

// Esc is taken like a close request, so that an upload is never left running
// under a window that is closing.
void CTesmarDlg::OnCancel() {
    OnClose();
}

void CTesmarDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == res::IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal(*host());
    } else {
        host()->defaultSysCommand(command);
    }
}

void CTesmarDlg::OnHelp() {
    CAboutDlg about;
    about.DoModal(*host());
}

void CTesmarDlg::OnPaint() {
    if (host()->isMinimized()) {
        const auto client = host()->clientSize();
        const auto iconSize = host()->iconSize();
        const int x = (client.width - iconSize.width + 1) / 2;
        const int y = (client.height - iconSize.height + 1) / 2;
        host()->drawApplicationIcon(x, y);
    } else {
        host()->defaultPaint();
    }
}

void CTesmarDlg::SetLoadControlsEnabled(bool enabled) {
    loadButton.EnableWindow(enabled);
    portSelector.EnableWindow(enabled);
    if (!enabled) {
        reloadButton.EnableWindow(false);
        infoButton.EnableWindow(false);
    } else {
        reloadButton.EnableWindow(hexLoaded != 0);
    }
}

void CTesmarDlg::FinishUpload() {
    commFile.close();
    runButton.SetWindowText("Run");
    runButton.EnableWindow(false);
    infoButton.EnableWindow(false);
    SetWindowText(kIdleTitle);
    uploadRunning = 0;
    lineCount = 0;
    SetLoadControlsEnabled(true);
}
