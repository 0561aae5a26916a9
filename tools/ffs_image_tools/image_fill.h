// Fills a mounted FFS with the folders and files of a PC folder, through the file system's own
// write path, so that its rules (names, depth, space, reserves) decide what fits.
#pragma once

#include <string>

// Copies the content of folder (not the folder itself) into the FFS root, entries of each folder
// in name order. Returns 0, or the FFS code of the first entry that could not be stored, with
// problem naming it.
int fill_from_folder(const std::string& folder, std::string& problem);
