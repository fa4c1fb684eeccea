// The web pane on the Radio page and the launches: the pane's address from the host setting,
// the shipped page in the real engine (offscreen), the main timer's upkeep following the page
// and the window state, links handed to the default browser, the help document and the trimmer
// started on the last saved file.
#include "IniFile.h"
#include "RecorderTestSupport.h"
#include "WebPane.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QToolButton>

#include <unistd.h>

#ifdef FONOLUX_HAVE_WEBENGINE
#include <QWebEngineView>
#endif

namespace {

QString dataFile(const QString &name)
{
    return qEnvironmentVariable("FONOLUX_TEST_DATA") + QLatin1Char('/') + name;
}

void spinFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// A window whose ticks only move when the test moves them; its pane on the real engine when
// `engine` (else the plain page view).
struct WebForm {
    explicit WebForm(bool engine = false)
    {
        WebPane::setEngineUse(engine ? WebPane::EngineUse::Always : WebPane::EngineUse::Never);
        TForm1::setTickSource([this] { return now; });
        form = std::make_unique<TForm1>();
        pane = form->WebBrowser1;
    }
    ~WebForm()
    {
        form.reset();
        TForm1::setTickSource({});
        WebPane::setEngineWanted(false);
    }
    // Shows the window and waits for the pane's first page.
    bool showLoaded()
    {
        form->show();
        return waitUntil([&] { return pane->DocLoaded && pane->hasDocument(); }, 30000);
    }
    // Moves the clock on and runs one tick of the main timer.
    void tickAfter(std::uint32_t ms)
    {
        now += ms;
        form->Timer1Timer();
    }
    void setHost(const QString &host)
    {
        IniFile ini(form->inifilename());
        ASSERT_TRUE(ini.writeString(QStringLiteral("Basic"), QStringLiteral("WebHost"), host));
    }

    FormEnv env;
    std::uint32_t now = 7000000;
    std::unique_ptr<TForm1> form;
    WebPane *pane = nullptr;
};

} // namespace

TEST(RadioWeb, PaneAndHomeAddressesFollowTheHostSetting)
{
    WebForm w;
    TForm1 &f = *w.form;
    // No host: the page shipped with the program, for the pane and the home page alike.
    const QUrl shipped = QUrl::fromLocalFile(TForm1::programFile(QStringLiteral("senden.html")));
    ASSERT_TRUE(QFileInfo(shipped.toLocalFile()).isFile());
    EXPECT_EQ(f.PaneUrl(), shipped);
    EXPECT_EQ(f.HomePageUrl(), shipped);
    // The plain page view (no engine wanted) shows it as well.
    EXPECT_FALSE(w.pane->usesEngine());
    ASSERT_TRUE(waitUntil([&] { return w.pane->DocLoaded && w.pane->hasDocument(); }, 10000));
    EXPECT_EQ(w.pane->currentUrl(), shipped);
    // The seed settings carry the host key, empty.
    EXPECT_EQ(IniFile(f.inifilename()).value(QStringLiteral("Basic"), QStringLiteral("WebHost")), QString());

    w.setHost(QStringLiteral("radio.example"));
    EXPECT_EQ(f.PaneUrl(), QUrl(QStringLiteral("https://radio.example/senden.html")));
    EXPECT_EQ(f.HomePageUrl(), QUrl(QStringLiteral("https://radio.example/")));
    // A scheme and port are kept; a path, query or fragment of the setting is not.
    w.setHost(QStringLiteral(" http://127.0.0.1:8080/other/page.html?x=1#top "));
    EXPECT_EQ(f.PaneUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/senden.html")));
    // Only web addresses count; anything else falls back to the shipped page.
    w.setHost(QStringLiteral("ftp://radio.example"));
    EXPECT_EQ(f.PaneUrl(), shipped);
    w.setHost(QStringLiteral("file:///etc"));
    EXPECT_EQ(f.HomePageUrl(), shipped);

    // The logo opens the home page in the default browser.
    w.setHost(QStringLiteral("radio.example"));
    f.show();
    QTest::mouseClick(f.Image1, Qt::LeftButton);
    ASSERT_EQ(w.env.opened.size(), 1);
    EXPECT_EQ(w.env.opened.value(0), QUrl(QStringLiteral("https://radio.example/")));
}

TEST(RadioWeb, LaunchesTheHelpDocumentAndTheTrimmerFromTheProgramFolder)
{
    WebForm w;
    TForm1 &f = *w.form;
    testsupport::TempDir bin;
    const QString folder = QString::fromStdString(bin.path().string());
    TForm1::setProgramFolder(folder);
    writeTrimmerStub(folder);

    // Nothing saved yet: the trimmer starts empty.
    f.show();
    QTest::mouseClick(f.btnclip, Qt::LeftButton);
    EXPECT_EQ(trimmerArguments(folder), QStringList{QStringLiteral("0")});

    // A name with blanks and both kinds of quotes arrives as one argument, unchanged, after
    // "--", so that one beginning with '-' is no option either.
    const QString name = folder + QStringLiteral("/My \"best\" bit's  of radio.mp3");
    ASSERT_TRUE(f.launchTrimmer(name));
    EXPECT_EQ(trimmerArguments(folder), (QStringList{QStringLiteral("2"), QStringLiteral("--"), name}));
    ASSERT_TRUE(f.launchTrimmer(QStringLiteral("-x.mp3")));
    EXPECT_EQ(trimmerArguments(folder), (QStringList{QStringLiteral("2"), QStringLiteral("--"), QStringLiteral("-x.mp3")}));

    // Without the trimmer nothing starts, and saying so is left to the caller.
    QFile::remove(folder + QStringLiteral("/snipolux"));
    EXPECT_FALSE(f.launchTrimmer(name));

    // The help document opens with the desktop's viewer; a missing one opens nothing.
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    EXPECT_TRUE(w.env.opened.isEmpty());
    QFile doc(folder + QStringLiteral("/Fonolux Doc.pdf"));
    ASSERT_TRUE(doc.open(QIODevice::WriteOnly));
    doc.close();
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    ASSERT_EQ(w.env.opened.size(), 1);
    EXPECT_EQ(w.env.opened.value(0), QUrl::fromLocalFile(doc.fileName()));
}

#ifdef FONOLUX_HAVE_WEBENGINE

namespace {

QVariant js(WebPane *pane, const QString &script)
{
    QVariant result;
    bool got = false;
    static_cast<QWebEngineView *>(pane->view())->page()->runJavaScript(script, [&](const QVariant &v) {
        result = v;
        got = true;
    });
    EXPECT_TRUE(waitUntil([&] { return got; }, 10000)) << script.toStdString();
    return result;
}

void mouse(WebPane *pane, QEvent::Type type, QPoint p)
{
    QWidget *w = pane->inputWidget();
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
    QMouseEvent ev(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &ev);
}

} // namespace

TEST(RadioWeb, ShowsTheShippedPageWholeAndItsLinksOpenInTheDefaultBrowser)
{
    WebForm w(true);
    ASSERT_TRUE(w.showLoaded());
    ASSERT_TRUE(w.pane->usesEngine());
    WebPane *pane = w.pane;
    EXPECT_EQ(pane->currentUrl(), w.form->PaneUrl());
    EXPECT_TRUE(pane->view()->isVisible());
    EXPECT_EQ(js(pane, QStringLiteral("document.title")).toString(), QStringLiteral("Fonolux"));
    // The page fits the pane as it is: nothing hidden below or beside it.
    EXPECT_LE(js(pane, QStringLiteral("document.documentElement.scrollHeight")).toInt(), pane->height());
    EXPECT_LE(js(pane, QStringLiteral("document.documentElement.scrollWidth")).toInt(), pane->width());
    // Every text line stays inside the body (no line pushed under the footer).
    EXPECT_TRUE(js(pane, QStringLiteral("(function(){var f=document.querySelector('footer').getBoundingClientRect();"
                                        "var u=document.querySelector('table.what').getBoundingClientRect();"
                                        "return u.bottom<=f.top;})()"))
                    .toBool());
    w.tickAfter(50); // the timer enables the pane again after the load
    ASSERT_TRUE(pane->view()->isEnabled());
    saveScreenshot(w.form.get(), QStringLiteral("radio_page_web"));

    // Ten seconds on, a click on the help link goes to the default browser; the pane stays.
    w.tickAfter(10000);
    const QVariantList box = js(pane, QStringLiteral("(function(){var r=document.querySelector('a').getBoundingClientRect();"
                                                     "return [r.left+r.width/2, r.top+r.height/2];})()"))
                                 .toList();
    ASSERT_EQ(box.size(), 2);
    const QPoint at(box[0].toInt(), box[1].toInt());
    ASSERT_TRUE(waitUntil([&] { return pane->inputWidget() != pane->view(); }, 5000));
    pane->HoverTag.clear();
    mouse(pane, QEvent::MouseMove, at + QPoint(1, 1));
    mouse(pane, QEvent::MouseMove, at);
    ASSERT_TRUE(waitUntil([&] { return pane->HoverTag == u"A"; }, 10000)) << pane->HoverTag.toStdString();
    mouse(pane, QEvent::MouseButtonPress, at);
    mouse(pane, QEvent::MouseButtonRelease, at);
    ASSERT_TRUE(waitUntil([&] { return !w.env.opened.isEmpty(); }, 10000));
    EXPECT_EQ(w.env.opened.value(0), QUrl::fromLocalFile(dataFile(QStringLiteral("Fonolux Doc.pdf"))));
    spinFor(300);
    EXPECT_EQ(pane->currentUrl(), w.form->PaneUrl());
    EXPECT_EQ(w.env.opened.size(), 1);
}

TEST(RadioWeb, TimerRefreshesOnlyOnTheShownRadioPageOfAWindowNotMinimisedAndReloadsAfterReturning)
{
    WebForm w(true);
    ASSERT_TRUE(w.showLoaded());
    WebPane *pane = w.pane;
    TForm1 &f = *w.form;
    QSignalSpy loads(pane, &WebPane::documentCompleted);

    // Within the first seconds the pane may still move on (as a redirect would): to the other
    // page, so that a refresh and a load of the pane's address tell apart.
    const QUrl other = QUrl::fromLocalFile(dataFile(QStringLiteral("trimsenden.html")));
    w.tickAfter(1000);
    pane->navigate(other);
    ASSERT_TRUE(waitUntil([&] { return loads.count() == 1; }, 20000));
    ASSERT_EQ(pane->currentUrl(), other);

    // Two minutes on with the Radio page shown: refreshed in place.
    w.tickAfter(WebPane::RefreshIntervalMs - 1);
    spinFor(200);
    EXPECT_EQ(loads.count(), 1) << "refreshed before two minutes had passed";
    w.tickAfter(2);
    ASSERT_TRUE(waitUntil([&] { return loads.count() == 2; }, 20000));
    EXPECT_EQ(pane->currentUrl(), other);

    // On another page: no refresh, however long.
    f.PageControl1->setCurrentWidget(f.tsSetUp);
    w.tickAfter(WebPane::RefreshIntervalMs + 1);
    w.tickAfter(WebPane::RefreshIntervalMs + 1);
    spinFor(500);
    EXPECT_EQ(loads.count(), 2);

    // Back on the Radio page the next upkeep loads the pane's address anew.
    f.PageControl1->setCurrentWidget(f.TabSheet1);
    w.tickAfter(WebPane::RefreshIntervalMs + 1);
    ASSERT_TRUE(waitUntil([&] { return loads.count() == 3; }, 20000));
    EXPECT_EQ(pane->currentUrl(), f.PaneUrl());

    // Minimised: no refresh; shown again: refreshed in place at the next two minutes.
    f.setWindowState(f.windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(f.isMinimized());
    w.tickAfter(WebPane::RefreshIntervalMs + 1);
    spinFor(500);
    EXPECT_EQ(loads.count(), 3);
    f.setWindowState(f.windowState() & ~Qt::WindowMinimized);
    w.tickAfter(WebPane::RefreshIntervalMs + 1);
    ASSERT_TRUE(waitUntil([&] { return loads.count() == 4; }, 20000));
    EXPECT_EQ(pane->currentUrl(), f.PaneUrl());
}

#endif

TEST(RadioWeb, AsRootASiteGivesWayToTheShippedPageAndAPlainHttpSiteIsWarnedAbout)
{
    // The notice for each case, whoever runs the test.
    const QUrl http(QStringLiteral("http://radio.example/senden.html"));
    const QUrl https(QStringLiteral("https://radio.example/senden.html"));
    EXPECT_TRUE(TForm1::WebPaneNotice(http, true, false).contains(QStringLiteral("without encryption")));
    EXPECT_TRUE(TForm1::WebPaneNotice(https, true, false).isEmpty());
    EXPECT_TRUE(TForm1::WebPaneNotice(QUrl::fromLocalFile(QStringLiteral("/x/senden.html")), true, false).isEmpty());
    EXPECT_TRUE(TForm1::WebPaneNotice(https, false, true).startsWith(QStringLiteral("Running as root")));

    if (::geteuid() != 0)
        GTEST_SKIP() << "the rest needs root";
    // As root no outside site is shown, even with the engine wanted: the shipped page instead.
    WebForm w;
    w.setHost(QStringLiteral("http://127.0.0.1:9"));
    WebPane::setEngineWanted(true);
    EXPECT_FALSE(WebPane::canShowSites());
    w.form->StartWebPane();
    EXPECT_FALSE(w.pane->usesEngine());
    EXPECT_EQ(w.pane->PaneUrl, QUrl::fromLocalFile(TForm1::programFile(QStringLiteral("senden.html"))));
    EXPECT_TRUE(w.form->StatusBar1Panel->text().startsWith(QStringLiteral("Running as root")));
}

TEST(RadioWeb, TheSandboxSettingGivenToTheProgramStaysOutOfTheProgramsItStarts)
{
    // The test command gives the variable (as a root user's start script would).
    testApp();
    ASSERT_TRUE(WebPane::sandboxOffRequested());
    EXPECT_FALSE(qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"));
    WebForm w;
    testsupport::TempDir bin;
    const QString folder = QString::fromStdString(bin.path().string());
    TForm1::setProgramFolder(folder);
    QFile stub(folder + QStringLiteral("/snipolux"));
    ASSERT_TRUE(stub.open(QIODevice::WriteOnly));
    stub.write("#!/bin/sh\nenv > \"$(dirname \"$0\")/env.part\" && mv \"$(dirname \"$0\")/env.part\" "
               "\"$(dirname \"$0\")/env.txt\"\n");
    stub.close();
    stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(w.form->launchTrimmer(QString()));
    QFile env(folder + QStringLiteral("/env.txt"));
    ASSERT_TRUE(waitUntil([&] { return env.exists(); }, 10000));
    ASSERT_TRUE(env.open(QIODevice::ReadOnly));
    const QByteArray seen = env.readAll();
    EXPECT_TRUE(seen.contains("HOME=")) << "the stub wrote no environment";
    EXPECT_FALSE(seen.contains("QTWEBENGINE_DISABLE_SANDBOX"));
}
