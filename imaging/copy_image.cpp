#include "copy_image.h"

HBITMAP CopyBitmap(HBITMAP image) {
    HANDLE copy = CopyImage(image, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_COPYRETURNORG);
    if (copy == image) copy = CopyImage(image, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
    return static_cast<HBITMAP>(copy);
}
