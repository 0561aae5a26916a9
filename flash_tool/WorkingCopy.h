// The working copy of the flash image: a shared memory mapping of a temporary file
// "./flashTmp_<n>.tmp" in the current folder, far larger than the image, whose first image_size
// bytes hold the image for the whole run. The reader fills it, the flash file system changes it
// in place and the writer writes it out.
#pragma once

#include <cstdint>
#include <string>

namespace brovald {

// Makes the working copy and reports it ("Info:Create Mapping file OK!!\n"). When the temporary
// file cannot be created the mapping is made without a file, after "Create tempFile error !" in
// the log; when another run holds the same name there is no working copy, after
// "Error:Mapping file already created!!". Afterwards working_copy_base() tells whether it exists.
void create_working_copy();

// The start of the image memory, or nullptr when there is no working copy.
std::uint8_t* working_copy_base();

// Unmaps the working copy and deletes its temporary file. Safe to call when nothing was made,
// and more than once.
void remove_working_copy();

// The temporary file's name, empty before create_working_copy.
const std::string& working_copy_name();

}  // namespace brovald
