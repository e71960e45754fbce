#pragma once

// The main window: owns all working state (the firmware image, the device
// profile, the serial port, the status lines, the upload flags and lock).
// Every user action enters the program through one of its handlers; the
// operations of image/ and upload/ are members of this class too, each
// defined in its own folder.

#include <cstdint>
#include <mutex>
#include <string>

#include "image/device_profile.h"
#include "image/firmware_image.h"
#include "serial/comm_file.h"
#include "ui/window.h"

class CTesmarDlg : public ui::Dialog, public image::FirmwareImage, public image::DeviceProfile {
  public:
    explicit CTesmarDlg(serial::SerialLine& line);
    ~CTesmarDlg() override = default;

    // --- main window (app/tesmar_dlg.cpp) ---------------------------------
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnSelectionChange(int id) override;
    void OnLoadHex();
    void OnReloadHex();
    void OnPortChange();
    void OnOK() override;      // Quit
    void OnClose() override;   // a close request
    void OnCancel() override;  // Esc
    void OnSysCommand(unsigned command) override;
    void OnPaint() override;
    void OnHelp() override;
    int OnQueryDragIcon() const { return icon; }
    // The end-of-upload reset: port closed, RUN disabled with "Run", "?"
    // disabled, title "Tesmar", uploadRunning and lineCount 0.
    void FinishUpload();
    // Puts text into statusText and shows the members at once.
    void SetStatus(const std::string& text);

    // --- firmware image (image/) ------------------------------------------
    // Reads path into the FirmwareImage and the DeviceProfile, telling the user
    // about every failure. 0 = loaded; -1 = not loaded (lineCount 0).
    int32_t ReadHexFile();
    // Looks typecode up in the catalogue. 1 = known (profile and statusText
    // set, row 5 asks its question); 0 = unknown.
    int32_t LookUpTypecode();
    // The "?" button: how to prepare the loaded device for the upload.
    void ShowLoadInstructions();

    // --- RUN and the query protocol (upload/) ----------------------------
    // The RUN button: a whole upload from the confirmation to the end, or,
    // pressed while an upload runs ("Stop"), the stop request.
    void OnRun();

    // --- block commands and the block upload sequence (upload/) -----------
    // One 64-byte block to the device at address (a multiple of 64 below
    // 32768), erased first on a PIC18; data is never changed. The device must
    // answer addressAnswer after the address. 0 = done; 10-31 = the failing
    // step and cause (upload/block_commands.h). offendingByte: the wrong
    // answer received, 0 for every other outcome.
    int WriteBlock(int address, char addressAnswer, const uint8_t* data, char& offendingByte);
    // One 64-byte block back from the device into buffer. 0 = done; 10-20 or
    // 32-36 = the failing step and cause; offendingByte as for WriteBlock.
    int ReadBlock(int address, char addressAnswer, uint8_t* buffer, char& offendingByte);
    // The whole block upload once the bootloader has announced itself; the
    // port is open and uploadRunning set. Always ends with FinishUpload.
    void BlockUpload();
    // The keep-alive around the boxes of the block upload: every 300 ms a '?'
    // to a front-panel device and one answer byte read (bounded). Start does
    // nothing unless frontPanel is set; Stop also discards input left over.
    void StartKeepAlive();
    void StopKeepAlive();
    void OnTimer(unsigned id) override;
    bool keepAliveExchanging = false;  // a '?' waits for its answer: ticks are skipped

    // --- members ----------------------------------------------------------
    std::string scriptPath;  // the ScriptPath setting, carried through unchanged
    ui::ControlRef infoButton{*this, res::IDC_INFO};
    ui::ControlRef reloadButton{*this, res::IDC_RELOAD_HEX};
    ui::ControlRef runButton{*this, res::IDC_RUN};
    ui::ControlRef loadButton{*this, res::IDC_LOAD_HEX};
    std::string statusText;  // second status line
    std::string fileText;    // first status line
    unsigned keepAliveTimer = 0;
    int32_t hexLoaded = 0;
    int32_t uploadRunning = 0;
    serial::CommFile commFile;
    std::recursive_mutex uploadLock;
    int32_t stopRequested = 0;
    int icon = res::IDR_MAINFRAME;  // the application icon
    int32_t comPort = 0;
    ui::ControlRef portSelector{*this, res::IDC_COM_PORT};
    int32_t portIndex = 0;

    // While an upload runs, the controls that could change the image or the
    // port under it are disabled; they come back when it ends.
    void SetLoadControlsEnabled(bool enabled);

  protected:
    void DoDataExchange(ui::DataExchange& dx) override;
};
