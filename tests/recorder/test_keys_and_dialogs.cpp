// Keys and dialogs: Ctrl+Q closes the window as the exit button does, the Radio page's buttons
// answer their shortcuts, and message boxes and the folder chooser belong to the window and stay
// in front of it while it stays on top.
#include "RecorderTestSupport.h"

#include "FileNames.h"
#include "IniFile.h"

#include <QClipboard>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

namespace {

// A key pressed on the window as the window system delivers it, so that shortcuts apply.
void press(TForm1 &form, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(form.windowHandle(), key, modifiers);
    // A button's shortcut clicks it the animated way: clicked() comes about 100 ms later.
    QTest::qWait(200);
}

void showActive(TForm1 &form)
{
    form.show();
    QApplication::setActiveWindow(&form);
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}

TEST(Keys, CtrlQClosesTheWindowAndSavesTheSettings)
{
    FormEnv env;
    TForm1 form;
    showActive(form);
    form.Slider->setValue(-1500);
    // Also from a numeric field, which drops every key but digits and editing keys.
    form.edPreRec->setFocus();
    ASSERT_TRUE(waitUntil([&] { return form.edPreRec->hasFocus(); }, 2000));
    // The field still drops letters and a pasted text.
    QApplication::clipboard()->setText(QStringLiteral("abc"));
    press(form, Qt::Key_V, Qt::ControlModifier);
    press(form, Qt::Key_X, Qt::NoModifier);
    EXPECT_EQ(form.edPreRec->text(), QStringLiteral("60"));
    press(form, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(waitUntil([&] { return !form.isVisible(); }, 5000));
    EXPECT_EQ(IniFile(findFileNoCase(env.dataFolder(), QStringLiteral("Fonolux.INI")))
                  .readInteger(QStringLiteral("state"), QStringLiteral("vol"), 0),
              -1500);
}

TEST(Keys, TheRadioPageButtonsAnswerTheirShortcutsWhenEnabledAndShown)
{
    FormEnv env;
    TForm1 form;
    showActive(form);
    QSignalSpy receive(form.BitBtn1, &QToolButton::clicked), pause(form.BitBtn2, &QToolButton::clicked),
        record(form.RecordButton, &QToolButton::clicked), pauseRecord(form.PauseRecordButton, &QToolButton::clicked);

    press(form, Qt::Key_P, Qt::ControlModifier);
    EXPECT_EQ(receive.count(), 1);
    // Idle: Pause and Record are disabled and ignore their keys.
    press(form, Qt::Key_R, Qt::ControlModifier);
    press(form, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(record.count(), 0);
    EXPECT_EQ(pause.count(), 0);

    form.BitBtn2->setEnabled(true);
    form.RecordButton->setEnabled(true);
    form.PauseRecordButton->setEnabled(true);
    // Pause last: resuming an idle receiver lays the idle controls out again.
    press(form, Qt::Key_R, Qt::ControlModifier);
    press(form, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    press(form, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(record.count(), 1);
    EXPECT_EQ(pause.count(), 1);
    EXPECT_EQ(pauseRecord.count(), 1);

    // On another page the Radio page's keys do nothing.
    form.PageControl1->setCurrentWidget(form.TabSheet2);
    press(form, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(record.count(), 1);
    EXPECT_EQ(receive.count(), 1);
}

// What a modal dialog looked like when it came up.
struct SeenDialog {
    bool seen = false;
    QWidget *owner = nullptr;
    bool staysOnTop = false;
    bool isFolderChooser = false;
};

// Runs open(), which shows a modal dialog, and closes that dialog once it is up.
SeenDialog whileOpen(const std::function<void()> &open)
{
    SeenDialog seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        seen.seen = true;
        seen.owner = dialog->parentWidget();
        seen.staysOnTop = dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        seen.isFolderChooser = qobject_cast<QFileDialog *>(dialog) != nullptr;
        dialog->reject();
    });
    poll.start(20);
    open();
    return seen;
}

TEST(Dialogs, MessagesAndTheFolderChooserBelongToTheWindowAndStayInFrontWhenItStaysOnTop)
{
    FormEnv env;
    ui::setMessageSink({}); // real message boxes
    TForm1 form;
    showActive(form);

    for (const bool onTop : {false, true}) {
        SCOPED_TRACE(onTop);
        form.btnOnTop->setChecked(onTop);
        form.cbxOnTopClick();
        showActive(form);

        // Asked for by a control deep inside the window, owned by the window itself.
        const SeenDialog message = whileOpen([&] { ui::showMessage(form.btnStop, QStringLiteral("Hello")); });
        EXPECT_TRUE(message.seen);
        EXPECT_EQ(message.owner, &form);
        EXPECT_EQ(message.staysOnTop, onTop);

        const SeenDialog chooser = whileOpen([&] { form.ToolButton1->click(); });
        EXPECT_TRUE(chooser.seen);
        EXPECT_TRUE(chooser.isFolderChooser);
        EXPECT_EQ(chooser.owner, &form);
        EXPECT_EQ(chooser.staysOnTop, onTop);
    }
}

TEST(Dialogs, AMessageWithoutAWindowGoesToTheActiveOne)
{
    FormEnv env;
    TForm1 form;
    showActive(form);
    EXPECT_EQ(ui::dialogOwner(nullptr), &form);
    EXPECT_EQ(ui::dialogOwner(form.Slider), &form);
}

} // namespace
