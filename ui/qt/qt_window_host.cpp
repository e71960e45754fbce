#include "ui/qt/qt_window_host.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cstddef>

#include "ui/qt/app_icon.h"
#include "ui/qt/file_filter.h"

namespace ui::qt {

namespace {

// drain() stops after this many rounds even if events keep coming (a timer
// of period 0 would otherwise keep it busy for ever).
constexpr int kMaxDrainRounds = 100;
// The pixel size of the icon a static icon control shows.
constexpr int kIconControlSize = 32;

QString toQString(const std::string& s) {
    return QString::fromStdString(s);
}

std::string toStdString(const QString& s) {
    return s.toStdString();
}

// Message texts carry Windows line ends ("\r\n", "\n\r"); a label shows a lone
// '\r' as a glyph, so every pair and every lone '\r' becomes one line break.
QString messageText(const std::string& text) {
    QString out = toQString(text);
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QMessageBox::Icon boxIcon(Icon icon) {
    switch (icon) {
        case Icon::Question:
            return QMessageBox::Question;
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::Error:
            return QMessageBox::Critical;
        case Icon::Default:
        case Icon::Exclamation:
            break;
    }
    return QMessageBox::Warning;
}

QMessageBox::StandardButtons boxButtons(Buttons buttons) {
    switch (buttons) {
        case Buttons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case Buttons::YesNo:
            return QMessageBox::Yes | QMessageBox::No;
        case Buttons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

// The answer of a box closed without a button: the only button of an OK box,
// otherwise Cancel or No.
Answer closedAnswer(Buttons buttons) {
    switch (buttons) {
        case Buttons::OkCancel:
            return Answer::Cancel;
        case Buttons::YesNo:
            return Answer::No;
        case Buttons::Ok:
            break;
    }
    return Answer::Ok;
}

}  // namespace

// The window itself: hands its events to the host, closes only when told.
class DialogWindow : public QDialog {
  public:
    DialogWindow(QtWindowHost& host, QWidget* parent, Qt::WindowFlags flags)
        : QDialog(parent, flags), host_(host) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                event->accept();
                host_.enterPressed();
                return;
            case Qt::Key_Escape:
                event->accept();
                host_.escapePressed();
                return;
            case Qt::Key_F1:
                event->accept();
                host_.helpRequested();
                return;
            default:
                QWidget::keyPressEvent(event);  // not QDialog's own Enter and Esc
                return;
        }
    }
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        host_.closeRequested();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        event->accept();
        host_.contextMenuRequested(event->globalPos());
    }
    void paintEvent(QPaintEvent* event) override { host_.paintRequested(event); }

  public:
    // QDialog's own way to cancel goes through the dialog's Cancel command.
    void reject() override { host_.escapePressed(); }
    void defaultPaint(QPaintEvent* event) { QDialog::paintEvent(event); }

  private:
    QtWindowHost& host_;
};

QtWindowHost::QtWindowHost(Dialog& dialog, QWidget* parent) : dialog_(dialog), parent_(parent) {}

QtWindowHost::~QtWindowHost() {
    for (auto& [id, timer] : timers_) {
        timer->stop();
    }
    timers_.clear();
    if (opened_) {
        if (threadPump() == this) {
            setThreadPump(previousPump_);
        }
        if (dialog_.host() == this) {
            dialog_.attach(nullptr);
        }
    }
    window_.reset();
}

QDialog* QtWindowHost::window() const {
    return window_.get();
}

QWidget* QtWindowHost::control(int id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

void QtWindowHost::open() {
    const res::DialogTemplate& layout = dialog_.layout();
    // A modal frame with a caption and a close button, no minimise or maximise
    // box. Without a parent it is a window of its own (a task-bar entry).
    Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    flags |= parent_ ? Qt::Dialog : Qt::Window;
    window_ = std::make_unique<DialogWindow>(*this, parent_.data(), flags);
    window_->setModal(parent_ != nullptr);
    const QFont font = dialogFont(layout);
    window_->setFont(font);
    base_ = dialogBaseUnits(font);
    window_->setWindowTitle(QString::fromUtf8(layout.title));
    window_->setWindowIcon(applicationIcon());
    window_->setFixedSize(dialogXToPixels(layout.width, base_),
                          dialogYToPixels(layout.height, base_));
    buildControls();

    dialog_.attach(this);
    previousPump_ = threadPump();
    setThreadPump(this);
    opened_ = true;
    bool focusDefault = true;
    dispatch([&] { focusDefault = dialog_.OnInitDialog(); });
    if (focusDefault) {
        focusFirstTabStop();
    }
}

void QtWindowHost::buildControls() {
    QWidget* previousTabStop = nullptr;
    for (const res::ControlTemplate& t : dialog_.layout().controls) {
        const QRect rect = dialogRectToPixels(t.x, t.y, t.width, t.height, base_);
        const QString caption = QString::fromUtf8(t.caption);
        QWidget* widget = nullptr;
        switch (t.kind) {
            case res::ControlKind::PushButton: {
                auto* button = new QPushButton(caption, window_.get());
                button->setAutoDefault(false);
                button->setDefault(false);
                button->setFocusPolicy(t.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
                button->setGeometry(rect);
                const int id = t.id;
                QObject::connect(button, &QPushButton::clicked, window_.get(),
                                 [this, id] { dispatch([&] { dialog_.OnCommand(id); }); });
                widget = button;
                break;
            }
            case res::ControlKind::StaticText: {
                auto* label = new QLabel(caption, window_.get());
                label->setTextFormat(Qt::PlainText);
                label->setFocusPolicy(Qt::NoFocus);
                if (t.sunken) {
                    // A status line: one line, left-aligned, vertically centred.
                    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                    label->setLineWidth(1);
                    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
                    label->setIndent(2);
                } else {
                    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                    label->setWordWrap(true);
                }
                label->setGeometry(rect);
                widget = label;
                break;
            }
            case res::ControlKind::DropDownList: {
                auto* combo = new QComboBox(window_.get());
                combo->setEditable(false);
                combo->setFocusPolicy(t.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
                // The layout's height includes the open list; the closed box
                // has the style's height, the list gets the rest.
                const int closed = combo->sizeHint().height();
                const int rowHeight = QFontMetrics(window_->font()).height() + 2;
                combo->setMaxVisibleItems(std::max(1, (rect.height() - closed) / rowHeight));
                combo->setGeometry(rect.x(), rect.y(), rect.width(), closed);
                const int id = t.id;
                QObject::connect(combo, &QComboBox::activated, window_.get(), [this, id](int) {
                    dispatch([&] { dialog_.OnSelectionChange(id); });
                });
                widget = combo;
                break;
            }
            case res::ControlKind::Icon: {
                auto* label = new QLabel(window_.get());
                label->setFocusPolicy(Qt::NoFocus);
                label->setPixmap(applicationPixmap(kIconControlSize, window_->devicePixelRatioF()));
                label->setGeometry(rect.x(), rect.y(), kIconControlSize, kIconControlSize);
                widget = label;
                break;
            }
        }
        widget->setEnabled(!t.disabled);
        controls_.push_back(widget);
        if (t.id != res::IDC_STATIC) {
            byId_[t.id] = widget;
        }
        if (t.tabStop) {
            if (previousTabStop != nullptr) {
                QWidget::setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        }
    }
}

void QtWindowHost::focusFirstTabStop() {
    const auto& layout = dialog_.layout().controls;
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (layout[i].tabStop && controls_[i]->isEnabled()) {
            controls_[i]->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

DialogResult QtWindowHost::exec() {
    if (!finished_) {
        window_->show();
        window_->raise();
        window_->activateWindow();
        QEventLoop loop;
        loop_ = &loop;
        if (!finished_) {
            loop.exec(QEventLoop::DialogExec);
        }
        loop_ = nullptr;
    }
    if (!finished_) {
        // The loop was left from outside (the application quits).
        finished_ = true;
        window_->hide();
    }
    return requested_.value_or(DialogResult::Cancel);
}

void QtWindowHost::endDialog(DialogResult result) {
    requested_ = result;
    finishIfEnded();
}

void QtWindowHost::finishIfEnded() {
    if (depth_ != 0 || !requested_ || finished_) {
        return;
    }
    finished_ = true;
    for (auto& [id, timer] : timers_) {
        timer->stop();
    }
    if (window_) {
        window_->hide();
    }
    if (loop_ != nullptr) {
        loop_->quit();
    }
}

void QtWindowHost::drain() {
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) {
        return;
    }
    QCoreApplication::sendPostedEvents();
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        if (!dispatcher->processEvents(QEventLoop::AllEvents)) {
            break;
        }
    }
}

// --- keys, close requests, the window menu ------------------------------------

void QtWindowHost::enterPressed() {
    QWidget* focused = window_->focusWidget();
    for (const auto& [id, widget] : byId_) {
        if (widget == focused) {
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                if (button->isEnabled()) {
                    button->click();
                }
                return;
            }
        }
    }
    dispatch([&] { dialog_.OnCommand(res::IDOK); });
}

void QtWindowHost::escapePressed() {
    dispatch([&] { dialog_.OnCommand(res::IDCANCEL); });
}

void QtWindowHost::helpRequested() {
    dispatch([&] { dialog_.OnHelp(); });
}

void QtWindowHost::closeRequested() {
    dispatch([&] { dialog_.OnClose(); });
}

void QtWindowHost::contextMenuRequested(const QPoint& globalPos) {
    if (finished_) {
        return;
    }
    QMenu menu(window_.get());
    QAction* close = menu.addAction(QStringLiteral("&Close\tAlt+F4"));
    close->setData(SC_CLOSE);
    if (!menuItems_.empty()) {
        menu.addSeparator();
        for (const auto& [command, text] : menuItems_) {
            menu.addAction(toQString(text))->setData(command);
        }
    }
    QAction* chosen = menu.exec(globalPos);
    if (chosen != nullptr) {
        const unsigned command = chosen->data().toUInt();
        dispatch([&] { dialog_.OnSysCommand(command); });
    }
}

void QtWindowHost::appendSystemMenuItem(unsigned command, const std::string& text) {
    menuItems_.emplace_back(command, text);
}

void QtWindowHost::defaultSysCommand(unsigned command) {
    constexpr unsigned kMinimize = 0xF020;
    constexpr unsigned kRestore = 0xF120;
    switch (command & 0xFFF0u) {
        case SC_CLOSE:
            dispatch([&] { dialog_.OnClose(); });
            break;
        case kMinimize:
            window_->showMinimized();
            break;
        case kRestore:
            window_->showNormal();
            break;
        default:
            break;  // Move and the like: the window manager's own business
    }
}

// --- painting -----------------------------------------------------------------

void QtWindowHost::paintRequested(QPaintEvent* event) {
    if (finished_) {
        return;
    }
    painting_ = true;
    dispatch([&] { dialog_.OnPaint(); });
    painting_ = false;
    (void)event;
}

void QtWindowHost::defaultPaint() {
    // The background is filled before the paint event; the controls paint
    // themselves. Nothing of the dialog's own is left to draw.
}

bool QtWindowHost::isMinimized() const {
    return window_ && window_->isMinimized();
}

WindowHost::Size QtWindowHost::clientSize() const {
    return {window_->width(), window_->height()};
}

WindowHost::Size QtWindowHost::iconSize() const {
    const int size =
        window_->style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, window_.get());
    return {size, size};
}

void QtWindowHost::drawApplicationIcon(int x, int y) {
    if (!painting_) {
        return;  // drawing is possible only while the window paints
    }
    const Size size = iconSize();
    QPainter painter(window_.get());
    const QRect rect(x, y, size.width, size.height);
    painter.fillRect(rect, window_->palette().window());
    painter.drawPixmap(rect, applicationPixmap(size.width, window_->devicePixelRatioF()));
}

// --- controls -----------------------------------------------------------------

void QtWindowHost::setControlText(int id, const std::string& text) {
    QWidget* widget = control(id);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(toQString(text));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(toQString(text));
    }
    // A drop-down list has no text of its own to set.
}

std::string QtWindowHost::controlText(int id) const {
    QWidget* widget = control(id);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        return toStdString(button->text());
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return toStdString(label->text());
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        return toStdString(combo->currentText());
    }
    return {};
}

void QtWindowHost::enableControl(int id, bool enabled) {
    if (QWidget* widget = control(id)) {
        widget->setEnabled(enabled);
    }
}

bool QtWindowHost::isControlEnabled(int id) const {
    QWidget* widget = control(id);
    return widget != nullptr && widget->isEnabled();
}

void QtWindowHost::insertListItem(int id, int position, const std::string& text) {
    auto* combo = qobject_cast<QComboBox*>(control(id));
    if (combo == nullptr) {
        return;
    }
    if (position < 0 || position > combo->count()) {
        position = combo->count();
    }
    const int selected = combo->currentIndex();
    combo->insertItem(position, toQString(text));
    // An insertion into an empty list must not select the new item.
    if (selected < 0) {
        combo->setCurrentIndex(-1);
    }
}

void QtWindowHost::setListSelection(int id, int index) {
    auto* combo = qobject_cast<QComboBox*>(control(id));
    if (combo == nullptr) {
        return;
    }
    // An index outside the list selects nothing.
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

int QtWindowHost::listSelection(int id) const {
    auto* combo = qobject_cast<QComboBox*>(control(id));
    return combo != nullptr ? combo->currentIndex() : -1;
}

void QtWindowHost::setTitle(const std::string& title) {
    window_->setWindowTitle(toQString(title));
}

std::string QtWindowHost::title() const {
    return toStdString(window_->windowTitle());
}

// --- timers -------------------------------------------------------------------

unsigned QtWindowHost::setTimer(unsigned id, unsigned periodMs) {
    if (id == 0 || !window_) {
        return 0;
    }
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(window_.get());
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, window_.get(),
                         [this, id] { dispatch([&] { dialog_.OnTimer(id); }); });
    }
    // Setting a running timer again restarts it with the new period.
    timer->start(static_cast<int>(std::min<unsigned>(periodMs, 0x7FFFFFFFu)));
    return id;
}

void QtWindowHost::killTimer(unsigned id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) {
        return;
    }
    QTimer* timer = it->second;
    timers_.erase(it);
    timer->stop();
    timer->disconnect();
    // Killed from its own tick perhaps: deleted once control is back in the loop.
    timer->deleteLater();
}

// --- boxes and dialogs ----------------------------------------------------------

Answer QtWindowHost::messageBox(const std::string& text, Buttons buttons, Icon icon) {
    QMessageBox box(boxIcon(resolveIcon(buttons, icon)), toQString(applicationName()),
                    messageText(text), boxButtons(buttons), window_.get());
    box.setTextFormat(Qt::PlainText);
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
        case QMessageBox::Ok:
            return Answer::Ok;
        case QMessageBox::Cancel:
            return Answer::Cancel;
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return closedAnswer(buttons);
    }
}

std::optional<std::string> QtWindowHost::openFileDialog(const std::string& filter,
                                                        const std::string& defaultExtension,
                                                        const std::string& initialName) {
    QFileDialog dialog(window_.get());
    // Qt's own dialog: the desktop's dialogs for opening refuse a name that
    // does not exist.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    for (const std::string& f : toQtNameFilters(filter)) {
        filters << toQString(f);
    }
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
    }
    dialog.setDefaultSuffix(toQString(defaultExtension));
    if (!initialName.empty()) {
        const QFileInfo initial(toQString(initialName));
        if (initial.isDir()) {
            dialog.setDirectory(initial.absoluteFilePath());
        } else {
            dialog.setDirectory(initial.absolutePath());
            dialog.selectFile(initial.fileName());
        }
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return toStdString(QFileInfo(chosen.first()).absoluteFilePath());
}

DialogResult QtWindowHost::runChildModal(Dialog& child) {
    QtWindowHost host(child, window_.get());
    host.open();
    return host.exec();
}

DialogResult QtBackend::runModal(Dialog& dialog) {
    QtWindowHost host(dialog);
    host.open();
    return host.exec();
}

}  // namespace ui::qt
