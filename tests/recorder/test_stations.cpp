// The station list: genre and station boxes, the address check, Reload, Edit Stations and the
// Add Station page, plus pictures of every page.
#include "RecorderTestSupport.h"

#include "FileNames.h"
#include "IniFile.h"
#include "StreamUrl.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

namespace {

const QByteArray kPopJazz = "[Pop]\nPop One=http://pop1.example.org/a\nPop Two=http://pop2.example.org/b\n"
                            "[Jazz]\nCool=http://old.example.org:8000/cool\nHot=http://hot.example.org/\n";

IniFile stationsOf(const FormEnv &env)
{
    return IniFile(findFileNoCase(env.dataFolder(), QStringLiteral("stations.ini")));
}

void chooseGenre(QComboBox *box, int index)
{
    box->setCurrentIndex(index);
    emit box->activated(index);
}

TEST(AddressCheck, AcceptsSchemeAndDottedOrNumericHostsOnly)
{
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("http://stream.example.org:8000/live.mp3")));
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("HTTPS://Radio.Example.COM/path?x=1")));
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("mms://192.168.10.20/station")));
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("http://127.0.0.1:8000/")));
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("see http://a-b.example.org/ here")));
    EXPECT_TRUE(IsStreamUrl(QStringLiteral("http://[10.0.0.1]/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("stream.example.org:8000/live.mp3")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://localhost:8000/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://-bad.example.org/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://example.c/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://999.1.1.1/")));
    // Letters outside ASCII are no host name letters, even those that fold to one.
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://\u017Ftream.example.org/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("http://\u212Aexp.example.org/")));
    EXPECT_FALSE(IsStreamUrl(QStringLiteral("Stations file reloaded. Timers have been reset!")));
    EXPECT_FALSE(IsStreamUrl(QString()));
}

TEST(StationBoxes, TheFirstGenreAndItsFirstStationAreChosenAtStart)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    EXPECT_EQ(form.cbgnr->currentText(), QStringLiteral("Pop"));
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("Pop One"));
    for (const TTimerPanel &t : form.timerPanels) {
        ASSERT_EQ(t.cbognr->count(), 2);
        EXPECT_EQ(t.cbognr->itemText(1), QStringLiteral("Jazz"));
    }
    EXPECT_EQ(form.StationUrl(QStringLiteral("jazz"), QStringLiteral("COOL")), QStringLiteral("http://old.example.org:8000/cool"));
    EXPECT_EQ(form.StationUrl(QStringLiteral("Jazz"), QStringLiteral("Nobody")), QString());
    EXPECT_EQ(form.StationUrl(QStringLiteral("Polka"), QStringLiteral("Cool")), QString());
}

TEST(StationBoxes, ChoosingOrTypingAGenreReplacesTheStationsAndClearsTheStatus)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.Label14->setText(QStringLiteral("Playing"));
    chooseGenre(form.cbgnr, 1);
    EXPECT_EQ(form.ComboBox1->count(), 2);
    EXPECT_EQ(form.ComboBox1->currentIndex(), 0);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("Cool"));
    EXPECT_TRUE(form.Label14->text().isEmpty());

    form.cbgnr->lineEdit()->selectAll();
    QTest::keyClicks(form.cbgnr->lineEdit(), QStringLiteral("pop"));
    EXPECT_EQ(form.cbgnr->currentIndex(), -1);
    EXPECT_EQ(form.cbgnr->currentText(), QStringLiteral("pop"));
    EXPECT_EQ(form.ComboBox1->itemText(1), QStringLiteral("Pop Two"));

    QTest::keyClicks(form.cbgnr->lineEdit(), QStringLiteral("x"));
    EXPECT_EQ(form.ComboBox1->count(), 0);

    // A typed station text is no item: it is taken as an address.
    form.ComboBox1->lineEdit()->selectAll();
    QTest::keyClicks(form.ComboBox1->lineEdit(), QStringLiteral("http://typed.example.org/"));
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("http://typed.example.org/"));
}

TEST(StationBoxes, AMissingStationFileLeavesTheBoxesEmpty)
{
    FormEnv env;
    env.writeData(QStringLiteral("Fonolux.INI"), "[state]\ngnridx=3\nstnidx=2\n");
    TForm1 form;
    EXPECT_EQ(form.cbgnr->count(), 0);
    EXPECT_EQ(form.ComboBox1->count(), 0);
    EXPECT_TRUE(form.ComboBox1->currentText().isEmpty());
}

TEST(StationBoxes, MalformedStationFilesGiveTheFirstOfEachDuplicate)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"),
                  "junk line\r\n[Jazz]\r\nCool=http://first.example.org/\r\ncool=http://second.example.org/\r\n"
                  "broken line\xff\xfe\r\n[Rock\r\n[Talk]\r\nNews=http://news.example.org/\r\n"
                  "[JAZZ]\r\nLater=http://later.example.org/\r\n[Caf\xc3\xa9]\r\nCr\xc3\xa8me=http://cafe.example.org/");
    TForm1 form;
    ASSERT_EQ(form.cbgnr->count(), 3);
    EXPECT_EQ(form.cbgnr->itemText(2), QStringLiteral("Café"));
    EXPECT_EQ(form.ComboBox1->count(), 1);
    EXPECT_EQ(form.StationUrl(QStringLiteral("Jazz"), QStringLiteral("Cool")), QStringLiteral("http://first.example.org/"));
    EXPECT_EQ(form.StationUrl(QStringLiteral("Café"), QStringLiteral("Crème")), QStringLiteral("http://cafe.example.org/"));
}

TEST(StationBoxes, ATenMegabyteStationFileLoads)
{
    FormEnv env;
    QByteArray big = "[Many]\n";
    for (int i = 0; big.size() < 10 * 1024 * 1024; ++i)
        big += "Station number " + QByteArray::number(i) + "=http://s" + QByteArray::number(i) + ".example.org/stream\n";
    big += "[Few]\nOne=http://one.example.org/";
    env.writeData(QStringLiteral("stations.ini"), big);
    TForm1 form;
    EXPECT_EQ(form.cbgnr->count(), 2);
    EXPECT_GT(form.ComboBox1->count(), 100000);
    EXPECT_EQ(form.StationUrl(QStringLiteral("Few"), QStringLiteral("One")), QStringLiteral("http://one.example.org/"));
}

TEST(AddStation, FieldsAreEnabledByGenreAndAddressAsTheUserGoes)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    ASSERT_EQ(form.cbAdstn->count(), 2);
    EXPECT_EQ(form.cbAdstn->currentText(), QStringLiteral("Select Genre Please"));
    EXPECT_FALSE(form.edAddUrl->isEnabled());
    EXPECT_FALSE(form.edadStnDsc->isEnabled());
    EXPECT_FALSE(form.btnTstUrl->isEnabled());
    EXPECT_FALSE(form.btnAddStn->isEnabled());

    chooseGenre(form.cbAdstn, 1);
    EXPECT_TRUE(form.edAddUrl->isEnabled());
    QTest::keyClicks(form.edAddUrl, QStringLiteral("www.example.org/stream"));
    EXPECT_FALSE(form.edadStnDsc->isEnabled());
    EXPECT_FALSE(form.btnTstUrl->isEnabled());
    EXPECT_FALSE(form.btnAddStn->isEnabled());

    form.edAddUrl->setText(QStringLiteral("http://www.example.org:8000/stream"));
    EXPECT_TRUE(form.edadStnDsc->isEnabled());
    EXPECT_TRUE(form.btnTstUrl->isEnabled());
    EXPECT_TRUE(form.btnAddStn->isEnabled());

    // Typing a genre clears the selection: no new genre from this page.
    QTest::keyClicks(form.cbAdstn->lineEdit(), QStringLiteral("s"));
    EXPECT_EQ(form.cbAdstn->currentIndex(), -1);
    EXPECT_FALSE(form.edAddUrl->isEnabled());
    form.edAddUrl->setText(QStringLiteral("http://www.example.org:8000/other"));
    EXPECT_TRUE(form.btnTstUrl->isEnabled());
    EXPECT_FALSE(form.btnAddStn->isEnabled());

    // Leaving and coming back keeps the genre choice.
    chooseGenre(form.cbAdstn, 0);
    form.PageControl1->setCurrentWidget(form.TabSheet2);
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    EXPECT_EQ(form.cbAdstn->currentIndex(), 0);
}

TEST(AddStation, AStationOfTheSameNameGetsTheNewAddressAndThePageResets)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    chooseGenre(form.cbAdstn, 1);
    form.edAddUrl->setText(QStringLiteral("http://new.example.org:8000/cool"));
    form.edadStnDsc->setText(QStringLiteral("Cool"));
    form.timerPanels[1].btnEnbl->click();
    ASSERT_TRUE(form.timerPanels[1].btnEnbl->isChecked());
    form.btnAddStn->click();

    const IniFile ini = stationsOf(env);
    EXPECT_EQ(ini.keys(QStringLiteral("Jazz")), (QStringList{QStringLiteral("Cool"), QStringLiteral("Hot")}));
    EXPECT_EQ(ini.readString(QStringLiteral("Jazz"), QStringLiteral("Cool"), {}), QStringLiteral("http://new.example.org:8000/cool"));
    EXPECT_EQ(form.edadStnDsc->text(), QStringLiteral("Please enter short descriptive text"));
    EXPECT_EQ(form.edAddUrl->text(), QStringLiteral("Stations file reloaded. Timers have been reset!"));
    EXPECT_EQ(form.statusPanelText(), QStringLiteral("Stations file reloaded. Timers have been reset!"));
    EXPECT_FALSE(form.btnAddStn->isEnabled());
    EXPECT_FALSE(form.btnTstUrl->isEnabled());
    EXPECT_FALSE(form.edadStnDsc->isEnabled());
    EXPECT_EQ(form.cbAdstn->currentIndex(), -1);
    EXPECT_EQ(form.cbAdstn->currentText(), QStringLiteral("Select Genre Please"));
    EXPECT_EQ(form.cbgnr->currentText(), QStringLiteral("Pop")) << "the first genre is selected again";
    EXPECT_FALSE(form.timerPanels[1].btnEnbl->isChecked());
    EXPECT_EQ(form.timerPanels[1].btnEnbl->text(), QStringLiteral("Timer Disabled "));
    EXPECT_TRUE(env.messages.isEmpty());

    // A new name is appended to its genre.
    chooseGenre(form.cbAdstn, 0);
    form.edAddUrl->setText(QStringLiteral("http://three.example.org/"));
    form.edadStnDsc->setText(QStringLiteral("Pop Three"));
    form.btnAddStn->click();
    EXPECT_EQ(form.ComboBox1->itemText(2), QStringLiteral("Pop Three"));
}

TEST(AddStation, ANameThatWouldBreakTheFileIsRefusedAndTheEntryKept)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    chooseGenre(form.cbAdstn, 0);
    form.edAddUrl->setText(QStringLiteral("http://x.example.org/"));
    form.edadStnDsc->setText(QStringLiteral("A=B"));
    form.btnAddStn->click();
    ASSERT_EQ(env.messages.size(), 1);
    EXPECT_TRUE(env.messages.first().startsWith(QStringLiteral("The station was not added.")));
    EXPECT_EQ(env.readData(QStringLiteral("stations.ini")), kPopJazz);
    EXPECT_EQ(form.edadStnDsc->text(), QStringLiteral("A=B"));
    EXPECT_EQ(form.edAddUrl->text(), QStringLiteral("http://x.example.org/"));
}

TEST(AddStation, TestUrlTunesTheStationBoxToTheAddress)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    chooseGenre(form.cbAdstn, 0);
    form.edAddUrl->setText(QStringLiteral("http://test.example.org/"));
    form.btnTstUrl->click();
    EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet1);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("http://test.example.org/"));
}

TEST(StationFile, ReloadReadsTheFileAgainAndDisarmsOnlyArmedTimers)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kPopJazz);
    TForm1 form;
    form.timerPanels[0].btnEnbl->click();
    ASSERT_TRUE(form.timerPanels[0].btnEnbl->isChecked());
    EXPECT_EQ(form.timerPanels[0].btnEnbl->text(), QStringLiteral("Timer Enabled "));
    EXPECT_EQ(form.timerPanels[0].btnEnbl->property("picture").toInt(), 2);
    EXPECT_FALSE(form.timerPanels[0].rdply->isEnabled()) << "an armed timer's panel is locked";
    chooseGenre(form.timerPanels[2].cbognr, 1);
    EXPECT_EQ(form.timerPanels[2].cbostn->currentText(), QStringLiteral("Cool"));

    env.writeData(QStringLiteral("stations.ini"), "[Blues]\nDelta=http://delta.example.org/\n[Jazz]\nSmooth=http://s.example.org/\n");
    form.Reload1->trigger();
    EXPECT_EQ(form.cbgnr->currentText(), QStringLiteral("Blues"));
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("Delta"));
    EXPECT_EQ(form.timerPanels[2].cbostn->currentText(), QStringLiteral("Smooth"));
    EXPECT_EQ(form.timerPanels[2].cbognr->count(), 2) << "the timers keep the genres read at start";
    EXPECT_FALSE(form.timerPanels[0].btnEnbl->isChecked());
    EXPECT_EQ(form.timerPanels[0].btnEnbl->property("picture").toInt(), 0);
    EXPECT_TRUE(form.timerPanels[0].rdply->isEnabled());
    EXPECT_FALSE(form.timerPanels[1].btnEnbl->isChecked());
    EXPECT_EQ(form.timerPanels[1].btnEnbl->text(), QStringLiteral("Timer Disabled"));
    EXPECT_EQ(form.edAddUrl->text(), QStringLiteral("Stations file reloaded. Timers have been reset!"));
    EXPECT_EQ(form.statusPanelText(), QStringLiteral("Stations file reloaded. Timers have been reset!"));
}

TEST(StationFile, EditStationsBacksTheFileUpBeforeTheEditorOpens)
{
    FormEnv env;
    env.writeData(QStringLiteral("Stations.INI"), kPopJazz);
    env.writeData(QStringLiteral("stations.ini.bu"), "old backup");
    TForm1 form;
    QByteArray backupWhenOpened;
    env.onOpen = [&](const QUrl &) { backupWhenOpened = env.readData(QStringLiteral("stations.ini.bu")); };
    form.SpeedButton1->click();
    ASSERT_EQ(env.opened.size(), 1);
    EXPECT_EQ(env.opened.first(), QUrl::fromLocalFile(env.dataFolder() + QStringLiteral("Stations.INI")));
    EXPECT_EQ(backupWhenOpened, kPopJazz);
    form.Edit2->trigger();
    EXPECT_EQ(env.opened.size(), 2);
}

TEST(StationFile, EditStationsWithoutAFileStartsAnEmptyOneAndReportsAnEditorThatFails)
{
    FormEnv env;
    env.writeData(QStringLiteral("Fonolux.INI"), "[state]\nvol=0\n");
    TForm1 form;
    ASSERT_FALSE(QFileInfo::exists(env.dataFolder() + QStringLiteral("stations.ini")));
    form.SpeedButton1->click();
    ASSERT_EQ(env.opened.size(), 1);
    EXPECT_EQ(env.opened.first(), QUrl::fromLocalFile(env.dataFolder() + QStringLiteral("stations.ini")));
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + QStringLiteral("stations.ini")));
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();

    ui::setUrlOpener([](const QUrl &) { return false; });
    form.Edit2->trigger();
    ASSERT_EQ(env.messages.size(), 1);
    EXPECT_TRUE(env.messages.first().startsWith(QStringLiteral("Could not open")));
}

TEST(Pages, ScreenshotsOfEveryPage)
{
    FormEnv env;
    TForm1 form;
    form.show();
    QApplication::processEvents();
    const struct {
        QWidget *page;
        const char *name;
    } pages[] = {{form.TabSheet1, "recorder_radio"}, {form.tsSetUp, "recorder_setup"},
                 {form.tsAddStn, "recorder_addstation"}, {form.TabSheet2, "recorder_timers"}};
    for (const auto &p : pages) {
        form.PageControl1->setCurrentWidget(p.page);
        QApplication::processEvents();
        saveScreenshot(&form, QString::fromLatin1(p.name));
    }
    form.PageControl1->setCurrentWidget(form.tsSetUp);
    form.ToolButton3->click();
    QApplication::processEvents();
    saveScreenshot(&form, QStringLiteral("recorder_setup_advanced"));
    EXPECT_FALSE(form.Panel1->isVisible());
    // The Radio page in two recorder states, for a look at the button pictures.
    form.RecState = rsRecordPaused;
    form.endis();
    form.PageControl1->setCurrentWidget(form.TabSheet1);
    QApplication::processEvents();
    saveScreenshot(&form, QStringLiteral("recorder_radio_recordpaused"));
    form.RecState = rsPrerecTap1;
    form.endis();
    QApplication::processEvents();
    saveScreenshot(&form, QStringLiteral("recorder_radio_prerec"));
}

} // namespace
