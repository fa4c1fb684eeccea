// Placeholder entry until the recorder's window exists.
#include <QApplication>
#include <QMessageBox>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMessageBox::information(nullptr, QStringLiteral("Fonolux"),
                             QStringLiteral("Fonolux is being built: the window is not there yet."));
    return 0;
}
