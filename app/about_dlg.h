#pragma once

#include "ui/window.h"

// The about box: the icon, the program's name and version, and OK.
class CAboutDlg : public ui::Dialog {
  public:
    CAboutDlg() : ui::Dialog(res::kAboutDialog) {}
};
