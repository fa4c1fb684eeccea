// The trimmer's toolbar pictures: the desktop theme's icon where the theme has one, otherwise
// our own drawing, painted as vectors at 24 × 24 so it stays crisp. GUI thread.
#pragma once

#include <QIcon>

enum class TTrimPicture { Exit, Open, Save, SaveExact, Play, Pause, Stop, MarkStart, MarkEnd, SpeedReset };

QIcon TrimPicture(TTrimPicture Which);
// Our own drawing alone (no theme), at Size × Size pixels.
QPixmap TrimOwnPicture(TTrimPicture Which, int Size = 24);
