// Controls of the trimmer's window that Qt has no ready counterpart for: the file dialogs the
// window keeps as objects with a file name, and the drop targets that accept files dropped on a
// control. (The picture control with its layers is TLayeredImage in SelectionLayers.h.)
//
// Everything here lives on the GUI thread.
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class QDropEvent;

// A file dialog kept as an object: Execute shows it and, when the user confirms, sets
// FileName. Tests install ExecuteHook to answer in place of the user (the hook gets the
// dialog, may set FileName, and returns whether the user confirmed).
class TTrimFileDialog {
public:
    enum Kind { Open, Save };
    explicit TTrimFileDialog(Kind k) : FKind(k) {}

    QString FileName;
    QString Filter;     // Qt's form: "MP3 Files (*.mp3)"
    QString DefaultExt; // without the dot
    bool Execute(QWidget *parent);

    static std::function<bool(TTrimFileDialog &)> ExecuteHook;
    Kind kind() const { return FKind; }

private:
    Kind FKind;
};

// Accepts copy, move and link drops of local files on Target and calls OnDrop with the file
// names, the keyboard modifiers, the drop point (Target's pixels) and the proposed action,
// which the handler may change (answering Qt::IgnoreAction keeps the file with the sender).
class TDropFileTarget : public QObject {
    Q_OBJECT
public:
    TDropFileTarget(QWidget *Target, QObject *parent);

    QWidget *Target() const { return FTarget; }
    QStringList Files;
    std::function<void(TDropFileTarget *Sender, Qt::KeyboardModifiers Shift, QPoint Point,
                       Qt::DropAction &Effect)>
        OnDrop;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *FTarget;
};
