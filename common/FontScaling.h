// Windows laid out by hand at fixed positions, grown with the user's font so that no text is
// cut. The layout is designed for the default desktop font (text 12 pixels high, 9 points at
// 96 dots per inch); at that font or a smaller one nothing changes. A larger font (a desktop
// setting, an application style sheet) multiplies every position and size by one factor, so
// the window keeps its layout and grows as a whole. Desktop scaling (a device pixel ratio,
// QT_SCALE_FACTOR, QT_FONT_DPI) scales fonts and geometry together and needs nothing here.
// GUI thread only.
#pragma once

#include <QSize>
#include <QStringList>

class QFont;
class QWidget;

// How much wider or taller text in font is than the same text in the same font at the design
// size of 12 pixels; never below 1.
double fontGrowthFactor(const QFont &font);

// The largest fontGrowthFactor among root and its descendants, each polished first so that a
// style sheet's font counts.
double fontGrowthFactor(QWidget *root);

// Multiplies the geometry of every descendant of root that is placed by hand (its parent has
// no layout) by factor.
void scaleHandPlacedGeometry(QWidget *root, double factor);

// Grows a fixed-size window designed at designSize for its fonts: the hand-placed controls are
// scaled by fontGrowthFactor(window), each page of a layout (a tab page, for instance) asks
// for at least the room its controls take, and the window's fixed size becomes designSize
// scaled, or more when its layout needs more. Call once the window's controls exist.
void fitFixedWindowToFont(QWidget *window, QSize designSize);

// The visible labels, buttons and spin boxes (dates, times) under root whose text does not fit
// their size: "objectName: text (needs W x H, has W x H)" each. For tests and screenshots.
QStringList cutTexts(QWidget *root);
