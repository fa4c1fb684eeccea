// Key filter of the numeric fields: only digits, Backspace, Delete and the four arrow keys get
// through. Focus keys (Tab, Backtab) are left to the window so the user can still move on.
// Typing is never interrupted: a field may be empty or hold a number out of range while the
// user types; when the user leaves the field (Tab, a click elsewhere), the leave handler may
// correct it. A window that merely loses the focus (another window, a menu) is no leave.
#pragma once

#include <QObject>

#include <functional>

class QLineEdit;

class NumericKeyFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    using LeaveHandler = std::function<void(QLineEdit *field)>;
    // Called on the GUI thread after a filtered field lost the focus to another control.
    void setLeaveHandler(LeaveHandler handler) { leave_ = std::move(handler); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    LeaveHandler leave_;
};
