// Key filter of the numeric fields: only digits, Backspace, Delete and the four arrow keys get
// through. Focus keys (Tab, Backtab) are left to the window so the user can still move on.
#pragma once

#include <QObject>

class NumericKeyFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
