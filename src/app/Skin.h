// The pictures of the main window: skin pieces and button glyphs, drawn in
// code at their design sizes.
#pragma once

#include "imaging/Bitmap.h"

enum class TSkinPiece { Left, BottomLeft, TopLeft, TopRight, Right, BottomRight };
enum class TGlyph {
    CameraOff, CameraOn,          // 16x16 (im31, im32)
    ServerStopped, ServerRunning, // 17x17 (im11, im12)
    Ftp, Setting,                 // 17x17
    Option,                       // 25x25
    Minimize, Close               // 16x16, drawn on the title bar
};

TBitmap MakeSkinPiece(TSkinPiece Piece);
TBitmap MakeGlyph(TGlyph Glyph);
