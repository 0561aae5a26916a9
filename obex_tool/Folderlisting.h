// Reading the handset's folder listing (an x-obex/folder-listing XML object) into a FileInfoList.
#pragma once

#include "Easyxml.h"
#include "Fileinfo.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zarnik {

// The most listing text read; a listing beyond it is abandoned with an ABORT, and so is one
// whose continuations bring no text this many times in a row.
inline constexpr std::size_t kListingLimit = 1024 * 1024;
inline constexpr int kListingStallLimit = 8;

// GETs the listing of the current folder, following 0x90 answers with further GETs until 0xA0,
// and appends one entry per well-formed file element. 0, or -6 when a GET is refused or
// unanswered, or the listing exceeds limit bytes or stalls (nothing is appended then).
int GetFolderInfo(int id, FileInfoList& list, std::size_t limit = kListingLimit);

// The listing as a document: when it has no "<folder-listing", the root's start tag is put at
// its start (after a leading XML declaration, DOCTYPE, comment or processing instruction).
std::string listing_document(const std::string& text);

// Appends the elements that carry all three attributes and a decimal size; logs the others.
void add_listing_files(const std::vector<ListingFileElement>& elements, FileInfoList& list);

// A decimal size that fits a signed 32-bit number, and nothing else.
bool parse_listing_size(const std::string& text, std::int32_t& size);

}  // namespace zarnik
