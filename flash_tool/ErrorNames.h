// The two tables that turn negative result codes into the texts Brovald prints.
#pragma once

namespace brovald {

// Name of a flash file system result code; "unknown error code!" for a code it does not know.
const char* ffs_error_name(int code);

// Name of an image-file result code (shared numbering with the loader and serial-link codes);
// "unknown error code!" for a code it does not know.
const char* image_error_name(int code);

}  // namespace brovald
