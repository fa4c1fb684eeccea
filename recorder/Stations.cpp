// TForm1: the station list "stations.ini", the genre and station boxes, and the Add Station
// page. Every access reads the file anew; only the boxes' item lists hold its contents.
#include "Main.h"

#include "ButtonPictures.h"
#include "FileNames.h"
#include "IniFile.h"
#include "StreamUrl.h"
#include "UserMessages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTimeEdit>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QUrl>

namespace {

const QString kReloaded = QStringLiteral("Stations file reloaded. Timers have been reset!");

QStringList items(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

// Replaces a box's items and selects index (or nothing).
void setItems(QComboBox *box, const QStringList &list, int index)
{
    box->clear();
    box->addItems(list);
    box->setCurrentIndex(index < box->count() ? index : -1);
}

} // namespace

bool TForm1::IsStreamUrl(const QString &text)
{
    return ::IsStreamUrl(text);
}

void TForm1::LoadGenres()
{
    const IniFile ini(stationsFileName());
    setItems(cbgnr, ini.sections(), 0);
    cbgnrChange();
    ComboBox1Change();
}

void TForm1::cbgnrChange()
{
    const IniFile ini(stationsFileName());
    setItems(ComboBox1, ini.keys(cbgnr->currentText()), 0);
    ComboBox1Change();
}

void TForm1::ComboBox1Change()
{
    Label14->clear();
}

QString TForm1::StationUrl(const QString &genre, const QString &station)
{
    return IniFile(stationsFileName()).readString(genre, station, QString());
}

void TForm1::reloadTimerStations(int i)
{
    TTimerPanel &t = timerPanels[static_cast<size_t>(i)];
    const IniFile ini(stationsFileName());
    setItems(t.cbostn, ini.keys(t.cbognr->currentText()), 0);
}

void TForm1::resetTimersAfterReload()
{
    for (int i = 0; i < 3; ++i)
        reloadTimerStations(i);
    edAddUrl->setText(kReloaded);
    for (int i = 0; i < 3; ++i)
        if (timerPanels[static_cast<size_t>(i)].btnEnbl->isChecked())
            btnEnbl0Click(timerPanels[static_cast<size_t>(i)].btnEnbl);
    setStatusPanelText(kReloaded);
}

void TForm1::Reload1Click()
{
    LoadGenres();
    resetTimersAfterReload();
}

void TForm1::btnEdStnClick()
{
    const QString folder = AppDataPath();
    const QString file = stationsFileName();
    if (QFileInfo::exists(file)) {
        // The backup is the way back from a bad edit; without it the editor does not open.
        QFile source(file);
        QString error;
        if (!source.open(QIODevice::ReadOnly)) {
            report(QStringLiteral("Could not read \"%1\": %2").arg(file, source.errorString()));
            return;
        }
        if (!writeFileAtomically(findFileNoCase(folder, QStringLiteral("stations.ini.bu")), source.readAll(), &error)) {
            report(error);
            return;
        }
    } else {
        // Nothing to back up; an empty list gives the editor a file to open and the user a
        // place to start.
        QString error;
        if (!writeFileAtomically(file, QByteArray(), &error)) {
            report(error);
            return;
        }
    }
    QCoreApplication::processEvents();
    if (!ui::openUrl(QUrl::fromLocalFile(file)))
        report(QStringLiteral("Could not open \"%1\" in a text editor.").arg(file));
}

void TForm1::tsAddStnShow()
{
    const int index = cbAdstn->currentIndex();
    const QString text = cbAdstn->currentText();
    setItems(cbAdstn, items(cbgnr), index);
    if (cbAdstn->currentIndex() == -1)
        cbAdstn->setEditText(text);
}

void TForm1::cbAdstnChange()
{
    edAddUrl->setEnabled(cbAdstn->currentIndex() != -1);
}

void TForm1::edAddUrlChange()
{
    if (!IsStreamUrl(edAddUrl->text())) {
        edadStnDsc->setEnabled(false);
        btnAddStn->setEnabled(false);
        btnTstUrl->setEnabled(false);
        return;
    }
    edadStnDsc->setEnabled(true);
    btnTstUrl->setEnabled(true);
    btnAddStn->setEnabled(cbAdstn->currentIndex() != -1 && !cbAdstn->currentText().isEmpty());
}

void TForm1::btnTstUrlClick()
{
    PageControl1->setCurrentWidget(TabSheet1);
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(edAddUrl->text());
    QCoreApplication::processEvents();
    BitBtn1Click();
}

void TForm1::btnAddStnClick()
{
    if (cbAdstn->currentIndex() == -1)
        return;
    IniFile ini(stationsFileName());
    if (!ini.writeString(cbAdstn->currentText(), edadStnDsc->text(), edAddUrl->text())) {
        // The user's entry stays in the fields so nothing typed is lost.
        report(QStringLiteral("The station was not added. ") + ini.errorString());
        return;
    }
    LoadGenres();
    cbAdstn->setCurrentIndex(-1);
    cbAdstn->setEditText(QStringLiteral("Select Genre Please"));
    edAddUrl->setText(QStringLiteral("Station Added. Timers have been reset!"));
    edadStnDsc->setText(QStringLiteral("Please enter short descriptive text"));
    QCoreApplication::processEvents();
    resetTimersAfterReload();
}
