#include "Folderlisting.h"

#include "ObexEngine.h"
#include "Programlog.h"

#include <algorithm>
#include <charconv>

namespace zarnik {

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

// The end of a leading prolog (XML declaration, DOCTYPE, comments, processing instructions and
// the blanks between them), where the root's start tag can still go; 0 when the text has none.
std::size_t prolog_end(const std::string& text)
{
    std::size_t end = 0;
    std::size_t at = 0;
    for (;;) {
        at = text.find_first_not_of(" \t\r\n", at);
        if (at == std::string::npos || (text.compare(at, 2, "<?") != 0 && text.compare(at, 2, "<!") != 0)) {
            return end;
        }
        std::size_t close = std::string::npos;
        if (text.compare(at, 4, "<!--") == 0) {
            close = text.find("-->", at + 4);
            close = close == std::string::npos ? close : close + 2;
        } else if (text.compare(at, 2, "<?") == 0) {
            close = text.find("?>", at + 2);
            close = close == std::string::npos ? close : close + 1;
        } else {
            // A DOCTYPE, with an internal subset in brackets when it has one.
            close = text.find('>', at);
            const std::size_t subset = text.find('[', at);
            if (subset < close) {
                const std::size_t subset_end = text.find(']', subset);
                close = subset_end == std::string::npos ? subset_end : text.find('>', subset_end);
            }
        }
        if (close == std::string::npos) {
            return end;
        }
        at = end = close + 1;
    }
}

}  // namespace

std::string listing_document(const std::string& text)
{
    if (text.find("<folder-listing") != std::string::npos) {
        return text;
    }
    // At the start, as the handset's listing wants it; after a prolog, because in front of an
    // XML declaration or a DOCTYPE it would never make a document.
    std::string document = text;
    document.insert(prolog_end(text), "<folder-listing>");
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
    // A handset that keeps answering "continue" without sending anything would hold the run
    // for ever; a few such answers in a row end the listing like one that is too long.
    int answers_without_data = 0;
    while (code == kObexContinue) {
        if (text.size() > limit || answers_without_data == kListingStallLimit) {
            const ObexHeaderSet none;
            IrObexAbortReq(id, &none, code);
            program_log(text.size() > limit ? "Get folder info listing longer than %d bytes!!!\n"
                                            : "Get folder info listing stalled at %d bytes!!!\n",
                        static_cast<int>(std::min(text.size(), limit)));
            return -6;
        }
        const ObexHeaderSet next;
        const std::size_t before = text.size();
        append_value(IrObexGetReq(id, &next, code), text);
        answers_without_data = text.size() == before ? answers_without_data + 1 : 0;
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

}  // namespace zarnik
