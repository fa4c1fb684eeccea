// Opening a file in the trimmer (dialog, drop, command line), reading it into memory and
// releasing it.
#include "TrimMain.h"

#include "UserMessages.h"

#include "AuException.h"
#include "AuMp3In.h"
#include "AuStreams.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QToolButton>

#include <algorithm>
#include <new>

namespace {

// The hourglass pointer for as long as the object lives, or until restore().
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { restore(); }
    TBusyCursor(const TBusyCursor &) = delete;
    TBusyCursor &operator=(const TBusyCursor &) = delete;
    void restore()
    {
        if (on_) {
            on_ = false;
            QApplication::restoreOverrideCursor();
        }
    }

private:
    bool on_ = true;
};

QString cannotOpen(const QString &FileName, const QString &Why)
{
    return QStringLiteral("Cannot open \"%1\": %2").arg(QFileInfo(FileName).fileName(), Why);
}

} // namespace

void TForm1::Button1Click()
{
    TBusyCursor busy;
    if (!OpenDialog1.Execute(this))
        return;
    OpenFile(OpenDialog1.FileName, TOpenVia::Dialog);
}

void TForm1::DropFileTarget1Drop(TDropFileTarget *Sender, Qt::KeyboardModifiers, QPoint, Qt::DropAction &Effect)
{
    // The dropping side keeps its file: a move is answered as no move at all.
    if (Effect == Qt::MoveAction)
        Effect = Qt::IgnoreAction;
    if (!Sender || Sender->Files.isEmpty())
        return;
    const QString file = Sender->Files.constFirst();
    if (!IsMp3FileName(file)) {
        Image1->DrawSurfaceText(QStringLiteral("Error: Only MP3 files accepted"));
        return;
    }
    // While a file plays or a clip is written the decoder reads the open file: opening another
    // now would pull its memory away under the worker.
    if (!btnOpen->isEnabled())
        return;
    OpenFile(file, TOpenVia::Drop);
}

bool TForm1::OpenFile(const QString &FileName, TOpenVia Via)
{
    TBusyCursor busy;
    if (Via == TOpenVia::CommandLine) {
        OpenDialog1.FileName = FileName;
        setWindowTitle(FileName);
    }

    QString error;
    std::unique_ptr<TMemoryStream> ms = LoadInput(FileName, error);
    if (ms) {
        // Try the new file on a decoder of its own first, so that a file that cannot be
        // decoded leaves the open one as it was.
        try {
            TMP3In probe;
            probe.SetHighPrecision(true);
            probe.SetOutputChannels(cnMonoOrStereo);
            probe.SetStream(ms.get());
            if (!probe.Valid() || probe.TotalSamples() <= 0 || probe.SampleRate() == 0)
                error = cannotOpen(FileName, QStringLiteral("it is not an MP3 file or it is damaged."));
            probe.SetStream(nullptr);
        } catch (const EAuException &e) {
            error = cannotOpen(FileName, QString::fromUtf8(e.what()));
        }
    }
    if (!error.isEmpty()) {
        if (Via == TOpenVia::CommandLine)
            setWindowTitle(QStringLiteral("Snipolux"));
        busy.restore();
        ui::report(this, error);
        return false;
    }

    if (Via == TOpenVia::Drop)
        OpenDialog1.FileName = FileName;
    ResetSelection();
    FreeInput();
    InputMS = std::move(ms);
    MP3In1->SetStream(InputMS.get());
    SetButtons(tmFileOpen);
    if (Via != TOpenVia::Drop)
        MP3In1->SetFileName(FileName.toUtf8().toStdString());
    FOpenedFile = FileName;

    ClearPicture();
    try {
        BuildWave();
    } catch (const EAuException &e) {
        // The part read so far is drawn; the file stays open for playing and saving.
        DrawWave();
        busy.restore();
        ui::report(this, cannotOpen(FileName, QString::fromUtf8(e.what())));
        return false;
    }
    DrawWave();

    const QString name = QFileInfo(FileName).fileName();
    setWindowTitle(QStringLiteral("Snipolux - ") + name);
    if (Via == TOpenVia::Drop)
        QCoreApplication::processEvents();
    FrameBytes = MeasureFrameBytes(MP3In1->Position(), MP3In1->TotalSamples());
    return true;
}

void TForm1::ResetSelection()
{
    TFloatRect band = BandLocation();
    band.Left = 0;
    band.Right = Image1->Bitmap.width();
    SetBandLocation(band);
    SelEnd = PlayEnd = Image1->Bitmap.width();
    SelStart = PlayStart = 0;
}

std::unique_ptr<TMemoryStream> TForm1::LoadInput(const QString &FileName, QString &Error)
{
    QFile f(FileName);
    if (!f.open(QIODevice::ReadOnly)) {
        Error = cannotOpen(FileName, f.errorString());
        return nullptr;
    }
    // The whole file is held in memory: one larger than MaxInputBytes (days of audio, or a
    // file that only says it is an MP3) is refused before anything is allocated.
    const qint64 size = std::max<qint64>(f.size(), 0);
    if (size > MaxInputBytes) {
        Error = cannotOpen(FileName, QStringLiteral("the file is too large (%1 MB; files of up to %2 MB can be opened).")
                                         .arg(size >> 20)
                                         .arg(MaxInputBytes >> 20));
        return nullptr;
    }
    // Read straight into the stream's own vector: an hour of MP3 is tens of megabytes, and a
    // second copy would double the peak.
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
        Error = cannotOpen(FileName, QStringLiteral("there is not enough memory to read it (%1 MB).").arg(size >> 20));
        return nullptr;
    }
    qint64 got = 0;
    while (got < static_cast<qint64>(data.size())) {
        const qint64 n = f.read(reinterpret_cast<char *>(data.data()) + got, static_cast<qint64>(data.size()) - got);
        if (n < 0) {
            Error = cannotOpen(FileName, f.errorString());
            return nullptr;
        }
        if (n == 0)
            break;
        got += n;
    }
    data.resize(static_cast<std::size_t>(got));
    if (data.empty()) {
        Error = cannotOpen(FileName, QStringLiteral("the file is empty."));
        return nullptr;
    }
    if (!LooksLikeMp3(data.data(), data.size())) {
        Error = cannotOpen(FileName, QStringLiteral("it is not an MP3 file or it is damaged."));
        return nullptr;
    }
    return std::make_unique<TMemoryStream>(std::move(data));
}

void TForm1::FreeInput()
{
    // The decoder rewinds and closes the stream it holds when it lets go of it, so it has to
    // let go before the stream is freed.
    if (MP3In1)
        MP3In1->SetStream(nullptr);
    InputMS.reset();
}
