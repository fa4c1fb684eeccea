// The recorder's button picture list: 0 start, 1 record, 2 stop, 3 stop recording, 4 pause,
// 5 pause recording, and 6 to 9 the disabled variants of start, stop, pause and record.
#pragma once

#include <QIcon>

class QAbstractButton;

QIcon buttonPicture(int index);

// Shows picture index on button and remembers the index in the button's "picture" property.
void setButtonPicture(QAbstractButton *button, int index);
