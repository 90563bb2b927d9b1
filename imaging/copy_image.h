#ifndef IMAGING_COPY_IMAGE_H
#define IMAGING_COPY_IMAGE_H

#include "win32.h"

// A new image with the same size, depth and pixels as `image`, independent of it, or NULL.
// The platform's CopyImage with LR_COPYRETURNORG may hand back the original handle when the copy would
// be identical; the filter and the pipeline read one image while writing the other and then release the
// first, so they must get a distinct one, and this asks again without that flag when it happens.
HBITMAP CopyBitmap(HBITMAP image);

#endif  // IMAGING_COPY_IMAGE_H
