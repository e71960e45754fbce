#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTemporaryDir>
#include <ostream>
#include <string>
#include <vector>

#include "app/about_dlg.h"
#include "app/tesmar_app.h"
#include "app/tesmar_dlg.h"
#include "qt_test_support.h"
#include "serial/sim_line.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/dialog_metrics.h"
#include "ui/qt/file_filter.h"
#include "ui/qt/qt_window_host.h"

namespace {

// --- the filter syntax ------------------------------------------------------------

struct FilterCase {
    const char* name;
    const char* filter;
    std::vector<std::string> qt;
};
void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << c.name;
}

class FileFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FileFilterTest, ConvertsToQtNameFilters) {
    EXPECT_EQ(ui::qt::toQtNameFilters(GetParam().filter), GetParam().qt);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FileFilterTest,
    ::testing::Values(
        FilterCase{"HexFilter", "Hex files (*.hex)|*.hex||", {"Hex files (*.hex)"}},
        FilterCase{"DescriptionWithoutPatterns", "Hex files|*.hex||", {"Hex files (*.hex)"}},
        FilterCase{"TwoPairs",
                   "Hex files (*.hex)|*.hex|All files (*.*)|*.*||",
                   {"Hex files (*.hex)", "All files (*.*)"}},
        FilterCase{"SeveralPatterns", "Firmware|*.hex;*.ihx||", {"Firmware (*.hex *.ihx)"}},
        FilterCase{"OtherParenthesesKept", "Text (old)|*.txt||", {"Text (old) (*.txt)"}},
        FilterCase{"WithoutClosingBars", "Hex files|*.hex", {"Hex files (*.hex)"}},
        FilterCase{"DescriptionOnly", "Anything||", {"Anything (*)"}}, FilterCase{"Empty", "", {}}),
    [](const ::testing::TestParamInfo<FilterCase>& p) { return std::string(p.param.name); });

// --- dialog units -----------------------------------------------------------------

TEST(DialogMetricsTest, UnitsRoundToTheNearestPixel) {
    const ui::qt::DialogBaseUnits base{7, 13};
    EXPECT_EQ(ui::qt::dialogXToPixels(4, base), 7);
    EXPECT_EQ(ui::qt::dialogXToPixels(1, base), 2);  // 1.75
    EXPECT_EQ(ui::qt::dialogXToPixels(2, base), 4);  // 3.5 rounds up
    EXPECT_EQ(ui::qt::dialogXToPixels(-2, base), -4);
    EXPECT_EQ(ui::qt::dialogYToPixels(8, base), 13);
    EXPECT_EQ(ui::qt::dialogYToPixels(11, base), 18);  // 17.875
    EXPECT_EQ(ui::qt::dialogYToPixels(14, base), 23);  // 22.75
    EXPECT_EQ(ui::qt::dialogRectToPixels(7, 80, 50, 14, base), QRect(12, 130, 88, 23));
}

TEST(DialogMetricsTest, BaseUnitsAreTheAverageLetterWidthAndTheFontHeight) {
    qt_test::app();
    const QFont font = ui::qt::dialogFont(res::kMainDialog);
    EXPECT_EQ(font.pointSize(), 8);
    const QFontMetrics metrics(font);
    const auto base = ui::qt::dialogBaseUnits(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    EXPECT_LE(std::abs(base.x * 52 - width), 26);
    EXPECT_EQ(base.y, metrics.height());
}

// --- the icon ---------------------------------------------------------------------

TEST(ApplicationIconTest, EmbeddedDrawingIsTheSvgFile) {
    QFile file(QStringLiteral(TESMAR_SOURCE_DIR "/res/icon.svg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    EXPECT_EQ(file.readAll().toStdString(), std::string(res::kApplicationIconSvg));
}

TEST(ApplicationIconTest, RendersAtEveryWindowIconSizeWithAVisiblePicture) {
    qt_test::app();
    const QIcon icon = ui::qt::applicationIcon();
    for (int size : ui::qt::kIconSizes) {
        SCOPED_TRACE(size);
        const QList<QSize> sizes = icon.availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(size, size)));
        const QImage image = icon.pixmap(size, size).toImage();
        ASSERT_EQ(image.size(), QSize(size, size));
        // The corners are transparent (a rounded tile), the centre is not.
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
        int opaque = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                opaque += qAlpha(image.pixel(x, y)) == 255 ? 1 : 0;
            }
        }
        EXPECT_GT(opaque, size * size / 2);
    }
}

// --- pictures of the windows for a person to look at ------------------------------

QString pictureDir() {
    return QStringLiteral(TESMAR_BUILD_DIR);
}

TEST(WindowPictureTest, RendersTheMainWindowAndTheAboutBoxToPng) {
    qt_test::app();
    ui::setApplicationName("tesmar");
    serial::SimLine line;
    CTesmarDlg dlg(line);
    dlg.comPort = 3;
    ui::qt::QtWindowHost host(dlg);
    host.open();
    host.window()->show();
    // The state OnInitDialog leaves.
    auto* ports = qobject_cast<QComboBox*>(host.control(res::IDC_COM_PORT));
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->count(), 9);
    EXPECT_EQ(ports->currentText().toStdString(), "3");
    EXPECT_FALSE(host.isControlEnabled(res::IDC_RUN));
    EXPECT_FALSE(host.isControlEnabled(res::IDC_INFO));
    EXPECT_FALSE(host.isControlEnabled(res::IDC_RELOAD_HEX));
    EXPECT_EQ(host.controlText(res::IDC_FILE_TEXT), "No File Loaded");
    EXPECT_EQ(host.title(), "Tesmar");
    ASSERT_EQ(host.systemMenuItems().size(), 1u);
    EXPECT_EQ(host.systemMenuItems()[0].first, res::IDM_ABOUTBOX);

    const QString opened = pictureDir() + "/tesmar-window.png";
    ASSERT_TRUE(host.window()->grab().save(opened)) << opened.toStdString();

    // A loaded file, as the window shows it then.
    host.setControlText(res::IDC_FILE_TEXT, "/home/technician/firmware/dv1_main_v2_07.hex");
    host.setControlText(res::IDC_STATUS_TEXT, "DV1 main board  Ready to Run - 120 lines loaded");
    host.enableControl(res::IDC_RUN, true);
    host.enableControl(res::IDC_INFO, true);
    host.enableControl(res::IDC_RELOAD_HEX, true);
    host.setTitle("Tesmar: DV1 main board");
    const QString ready = pictureDir() + "/tesmar-window-ready.png";
    ASSERT_TRUE(host.window()->grab().save(ready)) << ready.toStdString();

    CAboutDlg about;
    ui::qt::QtWindowHost aboutHost(about, host.window());
    aboutHost.open();
    aboutHost.window()->show();
    const QString aboutPicture = pictureDir() + "/tesmar-about.png";
    ASSERT_TRUE(aboutHost.window()->grab().save(aboutPicture)) << aboutPicture.toStdString();

    // Nothing drawn outside the window: every control lies inside it.
    for (const auto* h : {&host, &aboutHost}) {
        for (QWidget* w : h->controls()) {
            EXPECT_TRUE(h->window()->rect().contains(w->geometry()))
                << w->metaObject()->className();
        }
    }
    EXPECT_TRUE(QImage(opened).size() == host.window()->size() ||
                QImage(opened).size() == host.window()->size() * host.window()->devicePixelRatio());
}

// --- painting ---------------------------------------------------------------------

TEST(WindowPaintTest, ApplicationIconIsDrawnOnlyWhileTheWindowPaints) {
    qt_test::app();
    class Paints : public qt_test::Probe {
      public:
        void OnPaint() override {
            ++paints;
            host()->drawApplicationIcon(100, 10);
        }
        int paints = 0;
    } dialog;
    ui::qt::QtWindowHost host(dialog);
    host.open();
    host.window()->show();
    EXPECT_EQ(host.iconSize().width, 32);
    EXPECT_EQ(host.clientSize().width, host.window()->width());
    EXPECT_FALSE(host.isMinimized());
    host.drawApplicationIcon(0, 0);  // outside a paint: nothing, and no crash
    const QImage picture = host.window()->grab().toImage();
    EXPECT_GE(dialog.paints, 1);
    const QImage icon = ui::qt::applicationPixmap(32).toImage();
    const QPoint inIcon(16, 16);  // the chip, inside the icon
    const QColor background = picture.pixelColor(100 + 40, 10 + 16);
    EXPECT_EQ(picture.pixelColor(QPoint(100, 10) + inIcon).rgb(), icon.pixelColor(inIcon).rgb());
    EXPECT_NE(picture.pixelColor(QPoint(100, 10) + inIcon).rgb(), background.rgb());
}

// --- the program's start-up through this backend ------------------------------

struct StartCase {
    const char* name;
    int key;  // pressed after choosing port 7
    bool saved;
};
void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class QtStartUpTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(QtStartUpTest, PortChosenInTheWindowIsSavedOnQuitOnly) {
    qt_test::app();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string settings = dir.filePath(QStringLiteral("tesmar.INI")).toStdString();
    {
        QFile f(QString::fromStdString(settings));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Tesmar]\nComPort=4\n");
    }
    serial::SimLine line;
    ui::qt::QtBackend backend;
    CTesmarApp app(backend, line, settings);
    QObject context;
    QString selectorShown;
    QTimer::singleShot(0, &context, [&] {
        auto* window = qobject_cast<QDialog*>(QApplication::activeWindow());
        if (window == nullptr) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && qobject_cast<QDialog*>(w) != nullptr) {
                    window = qobject_cast<QDialog*>(w);
                }
            }
        }
        ASSERT_NE(window, nullptr);
        auto* ports = window->findChild<QComboBox*>();
        ASSERT_NE(ports, nullptr);
        selectorShown = ports->currentText();
        ports->setFocus();
        // The user picks "7" with the keyboard: Down three times from "4".
        for (int i = 0; i < 3; ++i) {
            qt_test::pressKey(window, Qt::Key_Down);
        }
        qt_test::pressKey(window, GetParam().key);
    });
    const qt_test::RunGuard guard([] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible()) {
                qt_test::pressKey(w, Qt::Key_Escape);
            }
        }
    });
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(selectorShown.toStdString(), "4");
    QFile f(QString::fromStdString(settings));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const std::string text = f.readAll().toStdString();
    if (GetParam().saved) {
        EXPECT_NE(text.find("ComPort=7"), std::string::npos) << text;
    } else {
        EXPECT_EQ(text, "[Tesmar]\nComPort=4\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    StartUp, QtStartUpTest,
    ::testing::Values(StartCase{"EnterOnTheSelectorIsQuit", Qt::Key_Return, true},
                      StartCase{"EscIsCancel", Qt::Key_Escape, false}),
    [](const ::testing::TestParamInfo<StartCase>& p) { return std::string(p.param.name); });

}  // namespace
