#include "ui/window.h"

#include <gtest/gtest.h>

namespace {

TEST(IconRule, OkBoxesDefaultToExclamationAndYesNoToQuestion) {
    struct Case {
        ui::Buttons buttons;
        ui::Icon asked;
        ui::Icon shown;
    };
    const Case cases[] = {
        {ui::Buttons::Ok, ui::Icon::Default, ui::Icon::Exclamation},
        {ui::Buttons::OkCancel, ui::Icon::Default, ui::Icon::Exclamation},
        {ui::Buttons::YesNo, ui::Icon::Default, ui::Icon::Question},
        {ui::Buttons::YesNo, ui::Icon::Exclamation, ui::Icon::Exclamation},
        {ui::Buttons::Ok, ui::Icon::Information, ui::Icon::Information},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::resolveIcon(c.buttons, c.asked), c.shown);
    }
}

TEST(ApplicationName, IsTheExecutableWithoutFolderAndExtension) {
    EXPECT_EQ(ui::applicationNameFromPath("/usr/local/bin/tesmar"), "tesmar");
    EXPECT_EQ(ui::applicationNameFromPath("C:\\Tools\\TESMAR.EXE"), "TESMAR");
    EXPECT_EQ(ui::applicationNameFromPath("./build/tesmar.bin"), "tesmar");
    EXPECT_EQ(ui::applicationNameFromPath("tesmar"), "tesmar");
    EXPECT_EQ(ui::applicationNameFromPath("/opt/.hidden"), ".hidden");
}

}  // namespace
