#include <QString>

// The program's version as "%d.%d.%d.%d".
QString fonoluxVersion()
{
    return QString::asprintf("%d.%d.%d.%d", FONOLUX_VERSION_MAJOR, FONOLUX_VERSION_MINOR,
                             FONOLUX_VERSION_PATCH, FONOLUX_VERSION_TWEAK);
}
