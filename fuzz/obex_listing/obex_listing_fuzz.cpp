// Arbitrary folder-listing text through the start-tag repair, the XML parser and the
// conversion into file entries.
#include "Folderlisting.h"

using namespace zarnik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ListingFileElement> elements;
    if (easyxml_listing_files(listing_document(text.substr(0, text.find('\0'))), elements)) {
        FileInfoList list;
        add_listing_files(elements, list);
        if (list.size() > elements.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
