// The two code-to-text tables. Each maps exact codes only; everything else, positive codes
// included, is "unknown error code!".
#include "ErrorNames.h"

#include <cstddef>

namespace brovald {

namespace {

struct CodeName {
    int code;
    const char* text;
};

constexpr const char* unknown_code = "unknown error code!";

// Codes of the flash file system.
constexpr CodeName ffs_names[] = {
    {0, "FFS : ok"},
    {-1, "FFS : flash device unknown"},
    {-2, "FFS : filesystem corrupted!?"},
    {-3, "FFS : ffs not preformatted"},
    {-4, "FFS : ffs not formatted"},
    {-5, "FFS : incompatible ffs version, re-format needed"},
    {-6, "FFS : bad magic"},
    {-7, "FFS : not ready, try again later"},
    {-8, "FFS : function not implemented"},
    {-9, "FFS : ffs device driver error"},
    {-10, "FFS : out of data space"},
    {-11, "FFS : file system full, no free inodes"},
    {-12, "FFS : bad filename"},
    {-13, "FFS : object not found"},
    {-14, "FFS : object exists"},
    {-15, "FFS : access permission violation"},
    {-16, "FFS : filename too long"},
    {-17, "FFS : invalid argument"},
    {-18, "FFS : directory not empty"},
    {-19, "FFS : object is not a directory"},
    {-20, "FFS : SPARE"},
    {-21, "FFS : file too big"},
    {-22, "FFS : object is not a file"},
    {-23, "FFS : path too deep"},
    {-24, "FFS : Max number of open files reached"},
    {-25, "FFS : Bad file descriptor"},
    {-26, "FFS : Bad operation"},
    {-27, "FFS : The file is locked"},
    {-30, "FFS : too big (tmffs buffer overflow)"},
    {-31, "FFS : out of memory"},
    {-32, "FFS : message send failed"},
    {-40, "FFS : directory sibling loop"},
    {-41, "FFS : No more blocks!?"},
    {-42, "FFS : Data reclaim did not finish!?"},
    {-43, "FFS : Data reclaim loop"},
};

// Codes of the image-file layer, which share their numbering with the loader and serial-link
// codes of the same family.
constexpr CodeName image_names[] = {
    {0, "Ok"},
    {-3, "Driver failed to initialize"},
    {-4, "Driver recv_wait() failed"},
    {-5, "UART failed to initialize"},
    {-6, "UART parameter bad or unsupported"},
    {-7, "UART driver transmit error"},
    {-8, "UART driver receive error"},
    {-10, "Receive timeout (no target reply)"},
    {-11, "Receive anti-timeout (target replied!?)"},
    {-12, "Transmit checksum error"},
    {-13, "Receive checksum error"},
    {-14, "Protocol error (bad char from target)"},
    {-15, "Invalid command parameter"},
    {-16, "RX FIFO overflow in target"},
    {-20, "Flash device unknown"},
    {-21, "Flash operation timeout"},
    {-22, "Flash verify error"},
    {-23, "Flash command sequence error"},
    {-24, "Flash Vpp range error"},
    {-25, "Flash block locked error"},
    {-26, "Flash error (unknown!?)"},
    {-27, "Target type not detected, unspecified or unknown"},
    {-28, "Target out of memory"},
    {-30, "Unexpected end of file"},
    {-31, "Syntax error: keyword expected"},
    {-32, "Syntax error: string expected"},
    {-33, "Syntax error: number expected"},
    {-34, "Syntax error: missing end brace"},
    {-35, "Syntax error"},
    {-36, "Undefined flash memmap"},
    {-37, "Undefined flash algorithm"},
    {-40, "Unsupported bootloader"},
    {-50, "File open error"},
    {-52, "File close error"},
    {-53, "File read error"},
    {-54, "File write error"},
    {-55, "File format/syntax error"},
    {-56, "File empty or unreadable?"},
    {-57, "File buffer too small"},
    {-58, "No input file name supplied"},
    {-59, "No output file name supplied"},
    {-70, "Bad address range"},
    {-71, "Bad erase override specifier"},
    {-72, "Bad memory read specifier"},
    {-73, "Bad memory write specifier"},
    {-80, "Bad argument or out of range"},
    {-81, "Multiple ambiguous arguments supplied"},
    {-82, "Too many arguments supplied"},
    {-85, "Out of memory"},
    {-86, "Internal (static) buffer too small"},
    {-99, "Internal program state error"},
};

template <std::size_t N>
const char* name_of(const CodeName (&table)[N], int code)
{
    for (const CodeName& entry : table) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return unknown_code;
}

}  // namespace

const char* ffs_error_name(int code)
{
    return name_of(ffs_names, code);
}

const char* image_error_name(int code)
{
    return name_of(image_names, code);
}

}  // namespace brovald
