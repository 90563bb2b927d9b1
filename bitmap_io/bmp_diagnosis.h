// Why a picture file could not be read: asked once the readers have declined it, so that a program can
// tell its user what is wrong with the file rather than only that something is.
#ifndef BITMAP_IO_BMP_DIAGNOSIS_H
#define BITMAP_IO_BMP_DIAGNOSIS_H

#include <string>

// A phrase that follows the file's name: "does not exist", "is empty", "is cut short: it has 100 bytes,
// and its header promises 246", "is a PNG picture, not a BMP: ...", "has 2 bits per pixel; the depths
// read are ...", "is too large: ...". The BMP checks are the readers' own, asked why they refuse; a file
// they all pass (which a platform loader of its own may still decline) gets a general phrase.
std::string ExplainUnreadablePicture(const std::string& path);

// What a picture file the readers take holds, as its headers say: "48 x 48 pixels, 24 bits per pixel",
// with ", a colour table of 16", ", run-length compressed", ", channel masks" or ", stored top-down" as
// they apply; "" for a file they refuse.
std::string DescribePictureFile(const std::string& path);

#endif  // BITMAP_IO_BMP_DIAGNOSIS_H
