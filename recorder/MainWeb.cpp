// TForm1: the web pane on the Radio page and the launches (home page, help document, trimmer).
#include "Main.h"

#include "FileNames.h"
#include "IniFile.h"
#include "UserMessages.h"
#include "WebPane.h"

#include <QCoreApplication>
#include <QEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QToolButton>

#include <unistd.h>

namespace {

// Runs a function when the watched widget is clicked with the left button (Image1 is a picture).
class ClickFilter : public QObject {
public:
    ClickFilter(QObject *parent, std::function<void()> onClick) : QObject(parent), onClick_(std::move(onClick)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            onClick_();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onClick_;
};

} // namespace

QString TForm1::webHost()
{
    return IniFile(inifilename()).readString(QStringLiteral("Basic"), QStringLiteral("WebHost"), QString()).trimmed();
}

QUrl TForm1::webSiteUrl(const QString &path)
{
    const QString host = webHost();
    if (host.isEmpty())
        return QUrl();
    QUrl url = QUrl::fromUserInput(host.contains(QStringLiteral("://")) ? host : QStringLiteral("https://") + host);
    if (!url.isValid() || (url.scheme() != u"https" && url.scheme() != u"http"))
        return QUrl();
    url.setPath(path);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QUrl TForm1::PaneUrl()
{
    const QUrl site = webSiteUrl(QStringLiteral("/senden.html"));
    return site.isEmpty() ? QUrl::fromLocalFile(programFile(QStringLiteral("senden.html"))) : site;
}

QUrl TForm1::HomePageUrl()
{
    const QUrl site = webSiteUrl(QStringLiteral("/"));
    return site.isEmpty() ? QUrl::fromLocalFile(programFile(QStringLiteral("senden.html"))) : site;
}

void TForm1::StartWebPane()
{
    // The pane counts time on the window's tick source, so tests drive its windows by ticks.
    WebBrowser1->setClock([] { return tickNow(); });
    WebBrowser1->setOpener([this](const QUrl &url) { OpenInBrowser(url); });
    if (!webPaneWired_) {
        webPaneWired_ = true;
        Image1->installEventFilter(new ClickFilter(Image1, [this] { Image1Click(); }));
        connect(SpeedButton3, &QPushButton::clicked, this, &TForm1::SpeedButton3Click);
        connect(btnclip, &QToolButton::clicked, this, &TForm1::btnclipClick);
    }
    Renavigate = false;
    // The help document the shipped page links to (where it belongs when it is missing).
    QString help = programFile(QStringLiteral("Fonolux Doc.pdf"));
    if (help.isEmpty())
        help = QFileInfo(programFile(QStringLiteral("senden.html"))).absoluteDir().filePath(QStringLiteral("Fonolux Doc.pdf"));
    WebBrowser1->setHelpDocument(help);
    const QUrl site = PaneUrl();
    QUrl page = site;
    if (!site.isLocalFile() && !WebPane::canShowSites())
        page = QUrl::fromLocalFile(programFile(QStringLiteral("senden.html")));
    if (const QString notice = WebPaneNotice(site, WebPane::canShowSites(), ::geteuid() == 0); !notice.isEmpty())
        setStatusPanelText(notice);
    WebBrowser1->Start(page);
}

QString TForm1::WebPaneNotice(const QUrl &site, bool canShowSites, bool root)
{
    if (site.isEmpty() || site.isLocalFile())
        return QString();
    // No outside site in a web engine without its sandbox (or without an engine).
    if (!canShowSites)
        return root ? QStringLiteral("Running as root: the page beside the logo is the one that came with Fonolux, "
                                     "not the one of %1.").arg(site.host())
                    : QStringLiteral("This Fonolux cannot show web sites: the page beside the logo is the one that "
                                     "came with it, not the one of %1.").arg(site.host());
    if (site.scheme() == u"http")
        return QStringLiteral("The page beside the logo comes from %1 without encryption (http): what it shows "
                              "can be changed on the way.").arg(site.host());
    return QString();
}

void TForm1::WebPaneUpkeep()
{
    WebBrowser1->Upkeep(RadioPageShown && !isMinimized(), Renavigate);
}

void TForm1::TabSheet1Show()
{
    RadioPageShown = true;
}

void TForm1::TabSheet1Hide()
{
    RadioPageShown = false;
    Renavigate = true;
}

void TForm1::OpenInBrowser(const QUrl &address)
{
    // The desktop's default browser; when none is set up nothing opens.
    ui::openUrl(address);
}

void TForm1::Image1Click()
{
    OpenInBrowser(HomePageUrl());
}

void TForm1::SpeedButton3Click()
{
    QCoreApplication::processEvents();
    const QString doc = programFile(QStringLiteral("Fonolux Doc.pdf"));
    // A missing document opens nothing (the desktop would only report an error of its own).
    if (QFileInfo(doc).isFile())
        ui::openUrl(QUrl::fromLocalFile(doc));
    QCoreApplication::processEvents();
}

bool TForm1::launchTrimmer(const QString &mp3File)
{
    const QString program = programFile(QStringLiteral("snipolux"));
    if (!QFileInfo(program).isExecutable())
        return false;
    // The file name is passed as one argument as it stands (blanks and quotes included), and
    // the trimmer runs on after the recorder ends; "--" before it keeps a name that begins
    // with '-' from being read as an option. Without a saved file it starts empty.
    QStringList args;
    if (!mp3File.isEmpty())
        args << QStringLiteral("--") << mp3File;
    return QProcess::startDetached(program, args, QFileInfo(program).absolutePath());
}

void TForm1::btnclipClick()
{
    launchTrimmer(lastSaveName());
}
