#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "app/about_dlg.h"
#include "qt_test_support.h"
#include "ui/qt/qt_window_host.h"

namespace {

using qt_test::Probe;
using ui::qt::QtWindowHost;

class QtDialogsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qt_test::app();
        // The caption every box carries: the executable's name.
        ui::setApplicationName(
            ui::applicationNameFromPath(QCoreApplication::applicationFilePath().toStdString()));
        host.open();
        host.window()->show();
    }
    Probe dialog;
    QtWindowHost host{dialog};
};

// --- message boxes --------------------------------------------------------------

enum class UserDoes { ClickFirst, ClickSecond, CloseBox, PressEsc };

struct BoxCase {
    const char* name;
    ui::Buttons buttons;
    ui::Icon icon;
    UserDoes user;
    QMessageBox::Icon shownIcon;
    std::set<QMessageBox::StandardButton> shownButtons;
    ui::Answer answer;
};
void PrintTo(const BoxCase& c, std::ostream* os) {
    *os << c.name;
}

class QtMessageBoxTest : public QtDialogsTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(QtMessageBoxTest, BoxHasCaptionIconButtonsAndReturnsTheAnswer) {
    const BoxCase& c = GetParam();
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::set<QMessageBox::StandardButton> buttons;
    QWidget* parent = nullptr;
    qt_test::whenShown<QMessageBox>(host.window(), [&](QMessageBox* box) {
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        parent = box->parentWidget();
        QList<QAbstractButton*> order;
        for (QAbstractButton* b : box->buttons()) {
            buttons.insert(box->standardButton(b));
        }
        // The affirmative button first, as the box shows it.
        const QMessageBox::StandardButton first =
            c.buttons == ui::Buttons::YesNo ? QMessageBox::Yes : QMessageBox::Ok;
        const QMessageBox::StandardButton second =
            c.buttons == ui::Buttons::YesNo ? QMessageBox::No : QMessageBox::Cancel;
        switch (c.user) {
            case UserDoes::ClickFirst:
                box->button(first)->click();
                break;
            case UserDoes::ClickSecond:
                box->button(second)->click();
                break;
            case UserDoes::CloseBox:
                box->close();
                break;
            case UserDoes::PressEsc:
                qt_test::pressKey(box, Qt::Key_Escape);
                break;
        }
    });
    const ui::Answer answer = dialog.MessageBox("Line one\n\rLine two", c.buttons, c.icon);
    EXPECT_EQ(caption.toStdString(), "tesmar_qt_tests");
    EXPECT_EQ(text.toStdString(), "Line one\nLine two");
    EXPECT_EQ(icon, c.shownIcon);
    EXPECT_EQ(buttons, c.shownButtons);
    EXPECT_EQ(parent, host.window());
    EXPECT_EQ(answer, c.answer);
}

using B = ui::Buttons;
using I = ui::Icon;
using A = ui::Answer;
using QB = QMessageBox;
INSTANTIATE_TEST_SUITE_P(
    Boxes, QtMessageBoxTest,
    ::testing::Values(
        BoxCase{"OkDefaultIconIsExclamation",
                B::Ok,
                I::Default,
                UserDoes::ClickFirst,
                QB::Warning,
                {QB::Ok},
                A::Ok},
        BoxCase{
            "OkClosedIsOk", B::Ok, I::Default, UserDoes::CloseBox, QB::Warning, {QB::Ok}, A::Ok},
        BoxCase{"OkCancelDefaultIconIsExclamation",
                B::OkCancel,
                I::Default,
                UserDoes::ClickFirst,
                QB::Warning,
                {QB::Ok, QB::Cancel},
                A::Ok},
        BoxCase{"OkCancelCancelled",
                B::OkCancel,
                I::Default,
                UserDoes::ClickSecond,
                QB::Warning,
                {QB::Ok, QB::Cancel},
                A::Cancel},
        BoxCase{"OkCancelClosedIsCancel",
                B::OkCancel,
                I::Default,
                UserDoes::CloseBox,
                QB::Warning,
                {QB::Ok, QB::Cancel},
                A::Cancel},
        BoxCase{"OkCancelEscIsCancel",
                B::OkCancel,
                I::Default,
                UserDoes::PressEsc,
                QB::Warning,
                {QB::Ok, QB::Cancel},
                A::Cancel},
        BoxCase{"YesNoDefaultIconIsQuestion",
                B::YesNo,
                I::Default,
                UserDoes::ClickFirst,
                QB::Question,
                {QB::Yes, QB::No},
                A::Yes},
        BoxCase{"YesNoNo",
                B::YesNo,
                I::Default,
                UserDoes::ClickSecond,
                QB::Question,
                {QB::Yes, QB::No},
                A::No},
        BoxCase{"YesNoClosedIsNo",
                B::YesNo,
                I::Default,
                UserDoes::CloseBox,
                QB::Question,
                {QB::Yes, QB::No},
                A::No},
        BoxCase{"InformationIcon",
                B::Ok,
                I::Information,
                UserDoes::ClickFirst,
                QB::Information,
                {QB::Ok},
                A::Ok},
        BoxCase{"ErrorIcon", B::Ok, I::Error, UserDoes::ClickFirst, QB::Critical, {QB::Ok}, A::Ok},
        BoxCase{"QuestionIconOnOkBox",
                B::Ok,
                I::Question,
                UserDoes::ClickFirst,
                QB::Question,
                {QB::Ok},
                A::Ok},
        BoxCase{"ExclamationOnYesNoBox",
                B::YesNo,
                I::Exclamation,
                UserDoes::ClickFirst,
                QB::Warning,
                {QB::Yes, QB::No},
                A::Yes}),
    [](const ::testing::TestParamInfo<BoxCase>& p) { return std::string(p.param.name); });

TEST_F(QtDialogsTest, BoxShowsItsTextAsPlainText) {
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    qt_test::whenShown<QMessageBox>(host.window(), [&](QMessageBox* box) {
        text = box->text();
        format = box->textFormat();
        box->button(QMessageBox::Ok)->click();
    });
    dialog.MessageBox("<b>ERROR</b> - Programming Failed\nError in serial communications");
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(text.toStdString(),
              "<b>ERROR</b> - Programming Failed\nError in serial communications");
}

// --- the file-open dialog -------------------------------------------------------

struct FileDialogSeen {
    QStringList filters;
    QString suffix;
    QString directory;
    QString typedName;
    QFileDialog::FileMode mode = QFileDialog::ExistingFile;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptSave;
};

// Shows the dialog, records what it offers, types a name and confirms (or
// cancels when typed is empty).
std::optional<std::string> runFileDialog(QtWindowHost& host, const std::string& initial,
                                         const QString& typed, FileDialogSeen& seen) {
    qt_test::whenShown<QFileDialog>(host.window(), [&seen, typed](QFileDialog* dialog) {
        seen.filters = dialog->nameFilters();
        seen.suffix = dialog->defaultSuffix();
        seen.directory = dialog->directory().absolutePath();
        seen.mode = dialog->fileMode();
        seen.acceptMode = dialog->acceptMode();
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name != nullptr) {
            seen.typedName = name->text();
        }
        if (typed.isEmpty()) {
            dialog->reject();
            return;
        }
        if (name != nullptr) {
            name->setText(typed);
        }
        QMetaObject::invokeMethod(dialog, "accept");  // the Open button
    });
    return host.openFileDialog("Hex files (*.hex)|*.hex||", "hex", initial);
}

TEST_F(QtDialogsTest, FileDialogOpensAtThePathWithTheHexFilter) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("dv1.hex"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(":00000001FF\n");
    f.close();

    FileDialogSeen seen;
    const auto chosen = runFileDialog(host, file.toStdString(), QStringLiteral("dv1.hex"), seen);
    EXPECT_EQ(seen.filters, QStringList{QStringLiteral("Hex files (*.hex)")});
    EXPECT_EQ(seen.suffix.toStdString(), "hex");
    EXPECT_EQ(seen.directory, QDir(dir.path()).absolutePath());
    EXPECT_EQ(seen.typedName.toStdString(), "dv1.hex");
    EXPECT_EQ(seen.mode, QFileDialog::AnyFile);
    EXPECT_EQ(seen.acceptMode, QFileDialog::AcceptOpen);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, file.toStdString());
}

TEST_F(QtDialogsTest, FileDialogAcceptsANameThatDoesNotExistWithTheDefaultExtension) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string initial = dir.filePath(QStringLiteral("old.hex")).toStdString();
    FileDialogSeen seen;
    const auto chosen = runFileDialog(host, initial, QStringLiteral("missing"), seen);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, dir.filePath(QStringLiteral("missing.hex")).toStdString());

    const auto withExtension = runFileDialog(host, initial, QStringLiteral("fw.HEX"), seen);
    ASSERT_TRUE(withExtension.has_value());
    EXPECT_EQ(*withExtension, dir.filePath(QStringLiteral("fw.HEX")).toStdString());
}

TEST_F(QtDialogsTest, CancelledFileDialogGivesNothing) {
    FileDialogSeen seen;
    EXPECT_FALSE(runFileDialog(host, "", QString(), seen).has_value());
    EXPECT_EQ(seen.typedName.toStdString(), "");
}

// --- the about box ----------------------------------------------------------------

TEST_F(QtDialogsTest, AboutBoxShowsIconNameVersionAndOkOverTheMainWindow) {
    CAboutDlg about;
    QStringList texts;
    bool hasIcon = false;
    bool modal = false;
    QWidget* parent = nullptr;
    QString title;
    QString focusedButton;
    qt_test::whenShown<QDialog>(host.window(), [&](QDialog* box) {
        title = box->windowTitle();
        parent = box->parentWidget();
        modal = box->isModal();
        for (QLabel* l : box->findChildren<QLabel*>()) {
            if (!l->pixmap().isNull()) {
                hasIcon = true;
            } else {
                texts << l->text();
            }
        }
        if (auto* b = qobject_cast<QPushButton*>(box->focusWidget())) {
            focusedButton = b->text();
        }
        qt_test::pressKey(box, Qt::Key_Return);  // OK has the focus
    });
    const qt_test::RunGuard guard([&] { about.EndDialog(ui::DialogResult::Cancel); });
    EXPECT_EQ(about.DoModal(host), ui::DialogResult::Ok);
    EXPECT_EQ(title.toStdString(), "About tesmar");
    EXPECT_EQ(parent, host.window());
    EXPECT_TRUE(modal);
    EXPECT_TRUE(hasIcon);
    EXPECT_TRUE(texts.contains(QString::fromUtf8(res::kProgramName) + " Version " +
                               QString::fromUtf8(res::kProgramVersion)));
    EXPECT_EQ(focusedButton.toStdString(), "OK");
    // The main window's pump is back once the box has gone.
    EXPECT_EQ(ui::threadPump(), &host);
}

TEST_F(QtDialogsTest, AboutBoxEscIsCancel) {
    CAboutDlg about;
    qt_test::whenShown<QDialog>(host.window(),
                                [](QDialog* box) { qt_test::pressKey(box, Qt::Key_Escape); });
    const qt_test::RunGuard guard([&] { about.EndDialog(ui::DialogResult::Ok); });
    EXPECT_EQ(about.DoModal(host), ui::DialogResult::Cancel);
}

}  // namespace
