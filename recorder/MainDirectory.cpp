// TForm1: the Find Station page: searching the station directory, playing and keeping what it
// finds, and station lists (M3U, PLS) in and out of a genre.
#include "Main.h"

#include "IniFile.h"
#include "StationLists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

template <class W, class... Args>
W *place(QWidget *parent, const char *name, QRect geometry, const QString &accessibleName, Args &&...args)
{
    auto *w = new W(std::forward<Args>(args)..., parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(geometry);
    w->setAccessibleName(accessibleName);
    return w;
}

QLabel *caption(QWidget *parent, const char *name, const QString &text, QRect geometry, QWidget *buddy)
{
    auto *l = place<QLabel>(parent, name, geometry, text + QStringLiteral(" (label)"), text);
    l->setBuddy(buddy);
    return l;
}

// Selects the item whose text is text (letter case aside); without one, the box keeps text as
// its typed text.
void selectText(QComboBox *box, const QString &text)
{
    const int i = box->findText(text, Qt::MatchFixedString);
    box->setCurrentIndex(i);
    if (i == -1)
        box->setEditText(text);
}

void replaceItems(QComboBox *box, const QStringList &items, const QString &keep, bool keepSelected)
{
    const QSignalBlocker block(box);
    box->clear();
    box->addItems(items);
    if (keepSelected)
        selectText(box, keep);
    else {
        box->setCurrentIndex(-1);
        box->setEditText(keep);
    }
}

constexpr int kFindPageSize = 25;

} // namespace

QWidget *TForm1::buildFindStationPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tsFindStn"));
    TFindPanel &p = findPanel;

    p.edName = place<QLineEdit>(page, "edFindName", {54, 6, 150, 24}, QStringLiteral("Station name to find"));
    caption(page, "edFindNameLabel", QStringLiteral("Name"), {8, 8, 44, 22}, p.edName);
    p.edTag = place<QLineEdit>(page, "edFindTag", {248, 6, 106, 24}, QStringLiteral("Tag to find"));
    caption(page, "edFindTagLabel", QStringLiteral("Tag"), {212, 8, 34, 22}, p.edTag);
    p.edTag->setPlaceholderText(QStringLiteral("jazz"));
    p.edCountry = place<QLineEdit>(page, "edFindCountry", {420, 6, 40, 24}, QStringLiteral("Country code to find"));
    caption(page, "edFindCountryLabel", QStringLiteral("Country"), {362, 8, 56, 22}, p.edCountry);
    p.edCountry->setPlaceholderText(QStringLiteral("DE"));
    p.edCountry->setMaxLength(2);
    p.edCountry->setToolTip(QStringLiteral("The country's two-letter code, such as DE, FR or US"));
    p.edLanguage = place<QLineEdit>(page, "edFindLanguage", {534, 6, 72, 24}, QStringLiteral("Language to find"));
    caption(page, "edFindLanguageLabel", QStringLiteral("Language"), {468, 8, 64, 22}, p.edLanguage);

    p.cbCodec = place<QComboBox>(page, "cbFindCodec", {8, 36, 100, 24}, QStringLiteral("Codec to find"));
    p.cbCodec->addItems({QStringLiteral("Any codec"), QStringLiteral("MP3"), QStringLiteral("AAC"),
                         QStringLiteral("AAC+"), QStringLiteral("OGG"), QStringLiteral("FLAC")});
    p.cbBitrate = place<QComboBox>(page, "cbFindBitrate", {114, 36, 122, 24}, QStringLiteral("Lowest bit rate to find"));
    p.cbBitrate->addItem(QStringLiteral("Any bit rate"), 0);
    for (int kbps : {64, 96, 128, 192, 256, 320})
        p.cbBitrate->addItem(QStringLiteral("From %1 kbit/s").arg(kbps), kbps);
    p.cbOrder = place<QComboBox>(page, "cbFindOrder", {242, 36, 112, 24}, QStringLiteral("Order of the stations found"));
    p.cbOrder->addItems({QStringLiteral("Most votes"), QStringLiteral("Most clicks"), QStringLiteral("By name")});
    p.cbxBroken = place<QCheckBox>(page, "cbxFindBroken", {360, 37, 142, 22}, QStringLiteral("Show broken stations"),
                                   QStringLiteral("Show broken ones"));
    p.cbxBroken->setToolTip(QStringLiteral("Also list stations that failed the directory's last check"));
    p.btnSearch = place<QPushButton>(page, "btnFindSearch", {506, 34, 100, 28},
                                     QStringLiteral("Search the station directory"), QStringLiteral("Search"));
    p.btnSearch->setDefault(true);

    p.lvResults = place<QTreeWidget>(page, "lvFindResults", {8, 68, 598, 162}, QStringLiteral("Stations found"));
    p.lvResults->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Country"), QStringLiteral("Codec"),
                                  QStringLiteral("kbit/s"), QStringLiteral("Tags")});
    p.lvResults->setRootIsDecorated(false);
    p.lvResults->setUniformRowHeights(true);
    p.lvResults->setSelectionMode(QAbstractItemView::SingleSelection);
    p.lvResults->setAllColumnsShowFocus(true);
    p.lvResults->header()->setStretchLastSection(true);
    // The short columns fit their texts at any font; the name takes two fifths of the width
    // (set when the page shows, once the window has its size).
    for (int c = 1; c <= 3; ++c)
        p.lvResults->header()->setSectionResizeMode(c, QHeaderView::ResizeToContents);

    p.btnPrev = place<QPushButton>(page, "btnFindPrev", {8, 236, 96, 28}, QStringLiteral("Previous page of stations"),
                                   QStringLiteral("< Previous"));
    p.lblPage = place<QLabel>(page, "lblFindPage", {110, 240, 96, 22}, QStringLiteral("Page of stations shown"));
    p.lblPage->setAlignment(Qt::AlignCenter);
    p.btnNext = place<QPushButton>(page, "btnFindNext", {212, 236, 96, 28}, QStringLiteral("Next page of stations"),
                                   QStringLiteral("Next >"));
    p.btnPlay = place<QPushButton>(page, "btnFindPlay", {314, 236, 110, 28}, QStringLiteral("Play the chosen station"),
                                   QStringLiteral("Play"));
    p.btnPrev->setEnabled(false);
    p.btnNext->setEnabled(false);
    p.btnPlay->setEnabled(false);

    p.cbGenre = place<QComboBox>(page, "cbFindGenre", {104, 270, 150, 24}, QStringLiteral("Genre to keep stations in"));
    p.cbGenre->setEditable(true);
    p.cbGenre->setInsertPolicy(QComboBox::NoInsert);
    p.cbGenre->setCompleter(nullptr);
    p.cbGenre->setToolTip(QStringLiteral("A genre of your station list, or a new one typed here"));
    caption(page, "cbFindGenreLabel", QStringLiteral("Keep in genre"), {8, 272, 94, 22}, p.cbGenre);
    p.btnAdd = place<QPushButton>(page, "btnFindAdd", {260, 268, 110, 28},
                                  QStringLiteral("Add the chosen station to the genre"), QStringLiteral("Add to Genre"));
    p.btnAdd->setEnabled(false);
    p.btnImport = place<QPushButton>(page, "btnFindImport", {376, 268, 112, 28},
                                     QStringLiteral("Import a station list into the genre"), QStringLiteral("Import List..."));
    p.btnExport = place<QPushButton>(page, "btnFindExport", {494, 268, 112, 28},
                                     QStringLiteral("Export the genre as a station list"), QStringLiteral("Export Genre..."));

    p.lblStatus = place<QLabel>(page, "lblFindStatus", {8, 300, 598, 30}, QStringLiteral("Find Station messages"));
    p.lblStatus->setWordWrap(true);
    p.lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    p.lblStatus->setText(QStringLiteral("Search the community station directory by name, tag, country or language."));
    return page;
}

void TForm1::wireFindStationPage()
{
    TFindPanel &p = findPanel;
    directory = new StationDirectory(this);
    connect(directory, &StationDirectory::findingServers, this,
            [this] { findPanel.lblStatus->setText(QStringLiteral("Looking for the station directory's servers...")); });
    connect(directory, &StationDirectory::searchFinished, this, &TForm1::findSearchFinished);
    connect(directory, &StationDirectory::searchFailed, this, &TForm1::findSearchFailed);

    connect(p.btnSearch, &QPushButton::clicked, this, &TForm1::findSearchClick);
    for (QLineEdit *e : {p.edName, p.edTag, p.edCountry, p.edLanguage}) {
        connect(e, &QLineEdit::returnPressed, this, &TForm1::findSearchClick);
        connect(e, &QLineEdit::textEdited, this, &TForm1::findTyped);
    }
    for (QComboBox *c : {p.cbCodec, p.cbBitrate, p.cbOrder})
        connect(c, &QComboBox::activated, this, &TForm1::findTyped);
    connect(p.cbxBroken, &QCheckBox::clicked, this, &TForm1::findTyped);
    connect(p.btnPrev, &QPushButton::clicked, this, [this] { findPageClick(-1); });
    connect(p.btnNext, &QPushButton::clicked, this, [this] { findPageClick(+1); });
    connect(p.btnPlay, &QPushButton::clicked, this, &TForm1::findPlayClick);
    connect(p.lvResults, &QTreeWidget::itemActivated, this, &TForm1::findPlayClick);
    connect(p.lvResults, &QTreeWidget::itemSelectionChanged, this, [this] {
        const bool chosen = findChosen() != nullptr;
        findPanel.btnPlay->setEnabled(chosen);
        findPanel.btnAdd->setEnabled(chosen);
    });
    connect(p.btnAdd, &QPushButton::clicked, this, &TForm1::findAddClick);
    connect(p.btnImport, &QPushButton::clicked, this, &TForm1::findImportClick);
    connect(p.btnExport, &QPushButton::clicked, this, &TForm1::findExportClick);
}

void TForm1::tsFindStnShow()
{
    findPanel.lvResults->setColumnWidth(0, findPanel.lvResults->width() * 2 / 5);
    QStringList genres;
    for (int i = 0; i < cbgnr->count(); ++i)
        genres << cbgnr->itemText(i);
    const QString typed = findPanel.cbGenre->currentText();
    replaceItems(findPanel.cbGenre, genres, typed.isEmpty() ? cbgnr->currentText() : typed, true);
}

DirectoryQuery TForm1::findQueryFromFields() const
{
    const TFindPanel &p = findPanel;
    DirectoryQuery q;
    q.Name = p.edName->text();
    q.Tag = p.edTag->text();
    q.CountryCode = p.edCountry->text();
    q.Language = p.edLanguage->text();
    q.Codec = p.cbCodec->currentIndex() > 0 ? p.cbCodec->currentText() : QString();
    q.BitrateMin = p.cbBitrate->currentData().toInt();
    q.Order = p.cbOrder->currentIndex() == 1   ? TDirectoryOrder::Clicks
              : p.cbOrder->currentIndex() == 2 ? TDirectoryOrder::Name
                                               : TDirectoryOrder::Votes;
    q.IncludeBroken = p.cbxBroken->isChecked();
    q.PageSize = kFindPageSize;
    return q;
}

void TForm1::findSearchClick()
{
    findStartSearch(findQueryFromFields());
}

void TForm1::findPageClick(int step)
{
    if (!findShown_)
        return;
    DirectoryQuery q = findQuery_;
    q.Page = std::max(0, q.Page + step);
    findStartSearch(q);
}

void TForm1::findStartSearch(const DirectoryQuery &q)
{
    const QString problem = directoryQueryProblem(q);
    if (!problem.isEmpty()) {
        findPanel.lblStatus->setText(problem);
        return;
    }
    findPending_ = q;
    findPanel.btnPrev->setEnabled(false);
    findPanel.btnNext->setEnabled(false);
    findPanel.lblStatus->setText(QStringLiteral("Searching..."));
    directory->search(q);
}

void TForm1::findTyped()
{
    if (!directory->searching())
        return;
    directory->cancelSearch();
    findShowPaging();
    findPanel.lblStatus->setText(QStringLiteral("Search cancelled. Press Search or Enter to search for what you asked."));
}

void TForm1::findShowPaging()
{
    findPanel.btnPrev->setEnabled(findShown_ && findQuery_.Page > 0);
    findPanel.btnNext->setEnabled(findShown_ && findHasMore_);
    findPanel.lblPage->setText(findShown_ ? QStringLiteral("Page %1").arg(findQuery_.Page + 1) : QString());
}

void TForm1::findSearchFinished(const std::vector<DirectoryStation> &stations, bool hasMore, int skipped)
{
    findResults_ = stations;
    findQuery_ = findPending_;
    findHasMore_ = hasMore;
    findShown_ = true;
    QTreeWidget *list = findPanel.lvResults;
    list->clear();
    for (std::size_t i = 0; i < findResults_.size(); ++i) {
        const DirectoryStation &s = findResults_[i];
        auto *item = new QTreeWidgetItem(list);
        item->setText(0, s.Name);
        item->setText(1, s.CountryCode);
        item->setText(2, s.Codec);
        item->setText(3, s.Bitrate > 0 ? QString::number(s.Bitrate) : QString());
        item->setText(4, s.Tags);
        item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
        item->setToolTip(0, s.Url);
        if (!s.LastCheckOk) {
            item->setText(0, s.Name + QStringLiteral(" (broken)"));
            item->setToolTip(0, QStringLiteral("The directory's last check of this station failed: ") + s.Url);
            for (int c = 0; c < 5; ++c)
                item->setForeground(c, list->palette().color(QPalette::Disabled, QPalette::Text));
        }
    }
    if (list->topLevelItemCount() > 0)
        list->setCurrentItem(list->topLevelItem(0));
    findShowPaging();
    QString text = findResults_.empty()
                       ? (findQuery_.Page == 0 ? QStringLiteral("No station matches the search.")
                                               : QStringLiteral("There are no more stations."))
                       : QStringLiteral("Stations %1 to %2. Choose one to play it or keep it in a genre.")
                             .arg(findQuery_.Page * findQuery_.PageSize + 1)
                             .arg(findQuery_.Page * findQuery_.PageSize + static_cast<int>(findResults_.size()));
    if (skipped > 0)
        text += QStringLiteral(" %1 stations without a usable web address were left out.").arg(skipped);
    findPanel.lblStatus->setText(text);
}

void TForm1::findSearchFailed(const QString &messageText)
{
    findShowPaging();
    findPanel.lblStatus->setText(findShown_ ? messageText + QStringLiteral(" The last results stay in the list.")
                                            : messageText);
}

const DirectoryStation *TForm1::findChosen() const
{
    const QTreeWidgetItem *item = findPanel.lvResults->currentItem();
    if (!item || !item->isSelected())
        return nullptr;
    const auto i = item->data(0, Qt::UserRole).toULongLong();
    return i < findResults_.size() ? &findResults_[i] : nullptr;
}

void TForm1::findPlayClick()
{
    const DirectoryStation *chosen = findChosen();
    if (!chosen) {
        findPanel.lblStatus->setText(QStringLiteral("Choose a station in the list first."));
        return;
    }
    const DirectoryStation station = *chosen; // the list may change while the waits below run
    if (connecting_ || stopping_ || Saving || RecState == rsRecording || RecState == rsRecordingPlain ||
        RecState == rsRecordPaused || RecState == rsRestarting || RecState == rsClosing) {
        findPanel.lblStatus->setText(QStringLiteral("Fonolux is busy recording, saving or connecting. Try again when "
                                                    "the Radio page shows \"Idle\" or \"Playing\"."));
        return;
    }
    if (RecState != rsIdle) {
        // Another station plays: it stops first, as Receive does.
        BitBtn1Click();
        if (RecState != rsIdle)
            return;
    }
    directory->countClick(station.Uuid);
    findPanel.lblStatus->setText(QStringLiteral("Playing \"%1\" on the Radio page.").arg(station.Name));
    PageControl1->setCurrentWidget(TabSheet1);
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(station.Url);
    QCoreApplication::processEvents();
    BitBtn1Click();
}

void TForm1::refreshStationBoxes()
{
    const IniFile ini(stationsFileName());
    const QString genre = cbgnr->currentText(), station = ComboBox1->currentText();
    const bool genreChosen = cbgnr->currentIndex() != -1, stationChosen = ComboBox1->currentIndex() != -1;
    replaceItems(cbgnr, ini.sections(), genre, genreChosen);
    replaceItems(ComboBox1, ini.keys(cbgnr->currentText()), station, stationChosen);
    // The timers keep their station; their lists gain what was added.
    for (TTimerPanel &t : timerPanels)
        replaceItems(t.cbostn, ini.keys(t.cbognr->currentText()), t.cbostn->currentText(), t.cbostn->currentIndex() != -1);
    tsFindStnShow();
}

void TForm1::findAddClick()
{
    const DirectoryStation *chosen = findChosen();
    if (!chosen) {
        findPanel.lblStatus->setText(QStringLiteral("Choose a station in the list first."));
        return;
    }
    const QString genre = findPanel.cbGenre->currentText().trimmed();
    const TStationsAdded r = addStationsToGenre(stationsFileName(), genre, {{chosen->Name, chosen->Url}});
    if (!r.Error.isEmpty()) {
        findPanel.lblStatus->setText(QStringLiteral("The station was not added. ") + r.Error);
        return;
    }
    if (r.Refused > 0) {
        findPanel.lblStatus->setText(
            QStringLiteral("The station's address \"%1\" does not look like a stream address, so it was not added.")
                .arg(chosen->Url));
        return;
    }
    if (r.AlreadyThere > 0) {
        findPanel.lblStatus->setText(QStringLiteral("\"%1\" is in the genre \"%2\" already.").arg(chosen->Name, genre));
        return;
    }
    refreshStationBoxes();
    findPanel.lblStatus->setText(QStringLiteral("Added \"%1\" to the genre \"%2\".").arg(r.Names.value(0), genre));
}

QString TForm1::runStationListDialog(bool save, const QString &genre)
{
    if (save ? bool(exportDialogHook) : bool(importDialogHook))
        return save ? exportDialogHook() : importDialogHook();
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    QFileDialog dialog(this, save ? QStringLiteral("Export a genre as a station list")
                                  : QStringLiteral("Import a station list"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(save ? QStringList{QStringLiteral("M3U station lists (*.m3u)")}
                               : QStringList{QStringLiteral("Station lists (*.m3u *.m3u8 *.pls)"),
                                             QStringLiteral("All files (*)")});
    dialog.setDirectory(folder);
    if (save) {
        dialog.setDefaultSuffix(QStringLiteral("m3u"));
        QString name = cleanStationText(genre, 60);
        for (QChar &c : name)
            if (c == u'/' || c == u'\\')
                c = u'-';
        dialog.selectFile(name + QStringLiteral(".m3u"));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void TForm1::findImportClick()
{
    const QString genre = findPanel.cbGenre->currentText().trimmed();
    const QString problem = genreNameProblem(genre);
    if (!problem.isEmpty()) {
        findPanel.lblStatus->setText(problem);
        return;
    }
    const QString file = runStationListDialog(false, genre);
    if (file.isEmpty())
        return;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        findPanel.lblStatus->setText(QStringLiteral("Could not read \"%1\": %2").arg(file, in.errorString()));
        return;
    }
    // One byte more than the limit is enough to know the file is too large.
    const QByteArray data = in.read(StationListSizeLimit + 1);
    std::vector<StationEntry> entries;
    QString error;
    if (!readStationList(data, entries, &error)) {
        findPanel.lblStatus->setText(QStringLiteral("Nothing was imported from \"%1\". %2").arg(QFileInfo(file).fileName(), error));
        return;
    }
    const TStationsAdded r = addStationsToGenre(stationsFileName(), genre, entries);
    if (!r.Error.isEmpty()) {
        findPanel.lblStatus->setText(QStringLiteral("Nothing was imported. ") + r.Error);
        return;
    }
    if (r.Added > 0)
        refreshStationBoxes();
    QString text = entries.empty() ? QStringLiteral("The file holds no stations.")
                                   : QStringLiteral("Imported %1 stations into \"%2\".").arg(r.Added).arg(genre);
    if (r.AlreadyThere > 0)
        text += QStringLiteral(" %1 were in the genre already.").arg(r.AlreadyThere);
    if (r.Refused > 0)
        text += QStringLiteral(" %1 entries were left out: their addresses are no stream addresses.").arg(r.Refused);
    findPanel.lblStatus->setText(text);
}

void TForm1::findExportClick()
{
    const QString genre = findPanel.cbGenre->currentText().trimmed();
    const std::vector<StationEntry> entries = genreStations(stationsFileName(), genre);
    if (entries.empty()) {
        findPanel.lblStatus->setText(QStringLiteral("The genre \"%1\" holds no stations to export.").arg(genre));
        return;
    }
    const QString file = runStationListDialog(true, genre);
    if (file.isEmpty())
        return;
    QString error;
    if (!writeFileAtomically(file, writeM3u(entries), &error)) {
        findPanel.lblStatus->setText(QStringLiteral("The station list was not exported. ") + error);
        return;
    }
    findPanel.lblStatus->setText(
        QStringLiteral("Exported %1 stations of \"%2\" to \"%3\".").arg(entries.size()).arg(genre, file));
}
