// The selection band over the picture, kept as its location in bitmap coordinates, and the two
// marker buttons that move its ends to the playback position.
#include "TrimMain.h"

void TForm1::CreateSelectionLayer()
{
    // The band covers the whole picture width; its top and bottom lie outside the picture.
    FBand = QRectF(QPointF(0, -39), QPointF(Image1->Bitmap.width(), 121));
}

QRectF TForm1::BandLocation() const
{
    return FBand;
}

void TForm1::SetBandLocation(const QRectF &Location)
{
    FBand = Location;
    Image1->update();
}

void TForm1::btnSetRightClick()
{
    StartMarkPending = 1;
    DrawWave();
}

void TForm1::btnSetLeftClick()
{
    EndMarkPending = 1;
    DrawWave();
}
