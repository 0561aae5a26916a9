#include "Folderlisting.h"

#include "ObexEngine.h"
#include "Programlog.h"

#include <charconv>

namespace {

const std::string kListingType = "x-obex/folder-listing";

void append_value(const ObexHeaderSet* parsed, std::string& text)
{
    if (parsed == nullptr) {
        return;
    }
    for (const ObexBytes* value : {&parsed->body, &parsed->end_of_body}) {
        text.append(value->begin(), value->end());
    }
}

// The position of the first element's '<', past declarations, DOCTYPE, comments and
// processing instructions; the end of the text when there is none.
std::size_t first_element(const std::string& text)
{
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string::npos) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (next != '?' && next != '!') {
            return at;
        }
        const std::size_t end = text.find('>', at);
        if (end == std::string::npos) {
            return text.size();
        }
        at = end + 1;
    }
    return text.size();
}

} // namespace

std::string listing_document(const std::string& text)
{
    if (text.find("<folder-listing") != std::string::npos) {
        return text;
    }
    std::string document = text;
    document.insert(first_element(text), "<folder-listing>");
    return document;
}

bool parse_listing_size(const std::string& text, std::int32_t& size)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, size);
    return !text.empty() && error == std::errc() && stop == end;
}

void add_listing_files(const std::vector<ListingFileElement>& elements, FileInfoList& list)
{
    for (const ListingFileElement& element : elements) {
        std::int32_t size = 0;
        if (!element.name || !element.size || !element.user_perm || !parse_listing_size(*element.size, size)) {
            program_log("Get folder info skipped a file element without name, size or user-perm\n");
            continue;
        }
        list.add(FileInfo{*element.name, size, *element.user_perm});
    }
}

int GetFolderInfo(int id, FileInfoList& list, std::size_t limit)
{
    ObexHeaderSet request;
    request.set_bytes(kHeaderType, ObexBytes(kListingType.begin(), kListingType.end()));
    std::uint8_t code = 0;
    std::string text;
    append_value(IrObexGetReq(id, &request, code), text);
    // A listing spread over several answers is read whole: a missing name would let a file be
    // sent without the delete that must come first.
    while (code == kObexContinue) {
        if (text.size() > limit) {
            const ObexHeaderSet none;
            IrObexAbortReq(id, &none, code);
            program_log("Get folder info listing longer than %d bytes!!!\n", static_cast<int>(limit));
            return -6;
        }
        const ObexHeaderSet next;
        append_value(IrObexGetReq(id, &next, code), text);
    }
    if (code != kObexSuccess) {
        return -6;
    }
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    program_log("Get folder info XML data:\n%s\n", text.c_str());
    program_log_flush();
    std::vector<ListingFileElement> elements;
    if (!easyxml_listing_files(listing_document(text), elements)) {
        program_log("Get folder info XML data is not well-formed!!!\n");
        return 0;
    }
    add_listing_files(elements, list);
    return 0;
}
