// Moving images between BMP files and memory: loading (LoadBitmapFromFileA and the program's own
// parser behind it) as well as saving, whatever the unit's name says. The name is the one the
// program's callers know it by.
#ifndef BITMAP_IO_SAVEBITMAPTOFILE_H
#define BITMAP_IO_SAVEBITMAPTOFILE_H

#include <vector>

#include "win32.h"

// Reads a BMP file into a new image owned by the caller (release it with DeleteObject), or NULL.
// The platform's own loader is asked first; where it declines, ParseBitmapFileA reads the file.
HBITMAP LoadBitmapFromFileA(LPCSTR path);

// This program's own BMP parser, for the files the platform loader declines. Returns a new image or
// NULL. The headers must be consistent with each other and with the file's real size, bfOffBits must
// lie between 54 and 1078 (an info header of at least 40 bytes and at most 256 colour entries), the
// colour table must lie inside the info part, every palette index must name an entry, and the pixel
// part must hold every row the header describes. The image is made by CreateDIBSection from the file's
// own info part, so it has the file's depth.
HBITMAP ParseBitmapFileA(LPCSTR path);

// Writes an image as an uncompressed BMP file with a 40-byte info header. TRUE when the whole file was
// written, FALSE otherwise. The file is written beside its final name, under a temporary name no other
// writer uses, and renamed over it only once it is complete and flushed, so a failed save leaves any
// earlier file of that name as it was and no partial file anywhere, and saves side by side, in one
// folder or to one name, never spoil each other. On FALSE, GetLastError says why (SystemErrorText in
// temporary_files.h gives its words). The image is neither changed nor released. A process that must end
// in the middle of a save removes its temporary file with RemoveTemporaryFiles.
BOOL SaveBitmapToFileA(LPCSTR path, HBITMAP image);

// The bytes SaveBitmapToFileA would write for `image`, in memory: false when the image cannot be read.
bool BitmapFileBytes(HBITMAP image, std::vector<BYTE>* bytes);

#endif  // BITMAP_IO_SAVEBITMAPTOFILE_H
