// Flash images as plain memory for the image tools: read from and written to S-record files
// with Brovald's own image layer, and mounted by the FFS in place.
#pragma once

#include "image_format.h"

#include <string>

// Reads an S-record image file into area (4 MiB, erased first, in the FFS's byte order).
// Returns 0 or a negative image-file code (its text from image_error_name).
int load_image(const std::string& file_name, ffs_image::Image& area);

// Writes area as an S-record image file, whole, in place of any file of that name. Returns 0 or
// a negative image-file code.
int save_image(const std::string& file_name, const ffs_image::Image& area);

// Mounts the FFS on area, which must outlive every later FFS call. Returns ffs_initialize's
// result. The mount may finish interrupted operations in area (never in any file).
int mount_image(ffs_image::Image& area);
