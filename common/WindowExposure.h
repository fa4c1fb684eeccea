// Whether a widget can be seen on the screen: shown, in a window that is mapped, not minimised
// and (on X11) not wholly covered by other windows. Things that only decorate the window (a
// scrolling strip, a level meter, clocks) idle while it cannot be seen.
//
// A freshly shown widget counts as on screen until the window system says otherwise (the first
// expose of a window may come later than the show). Covered windows are learnt from the X
// server's visibility reports, which the watch asks for on the window; a compositing desktop
// never reports a window as covered, and then only hiding, unmapping and minimising count.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>

class QWidget;
class QWindow;

class WindowExposure : public QObject {
    Q_OBJECT
public:
    // Follows widget and its top-level window; a child of widget.
    explicit WindowExposure(QWidget *widget);
    ~WindowExposure() override;

    bool onScreen() const { return onScreen_; }

signals:
    void onScreenChanged(bool onScreen);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    friend class X11VisibilityFilter;
    void attach();
    void reevaluate();
    void setCovered(bool covered);

    QWidget *widget_;
    QPointer<QWidget> top_;
    QPointer<QWindow> window_;
    unsigned long windowId_ = 0;
    bool covered_ = false;   // the X server reported the window fully covered
    bool unexposed_ = false; // the window system took the window off the screen (unmapped)
    bool onScreen_ = false;
};
