// The commands of ffs_inspect. Each works on the image in memory and never writes the image
// file; each returns the program's exit status (0 done, 1 the image has a problem or the command
// failed).
#pragma once

#include "image_format.h"

#include <string>

// The tree with type, access, flags byte, size and path of every object.
int inspect_list(ffs_image::Image& area);

// The bytes of one file to standard output; path is typed on the PC (system code page).
int inspect_print(ffs_image::Image& area, const std::string& path);

// The tree into a folder (created if missing): folders and files; links and the journal are
// left out, and names that would leave the folder are refused.
int inspect_extract(ffs_image::Image& area, const std::string& folder);

// The independent consistency check, the FFS's own reading compared with it, and the use of
// every block.
int inspect_check(ffs_image::Image& area);
