// The flash file system (FFS) held in the 4 MiB flash image: the one public header.
//
// Every operation returns a signed int: non-negative for a result (descriptor, count, inode),
// negative for one of the codes below. Nothing throws.
//
// Where the flash lives (the seam). The FFS does not own the image memory and does not care how
// it was obtained: before ffs_initialize() the caller binds a function that returns the start of
// the 4 MiB image memory, each 16-bit unit already in memory byte order (little-endian as the
// FFS reads it). Brovald binds its working copy:
//
//     ffs_bind_flash_base(working_copy_base);
//
// tests bind a function returning a plain 4 MiB buffer. The function is called once per mount;
// a null result makes the mount fail with FFS_E_NODEVICE. The memory must stay valid and must
// not move until the next mount.
//
// Reading back (for tools and tests). ffs_open(path, FFS_O_READ) and ffs_read() return a file's
// bytes; ffs_stat() describes one object; ffs_opendir()/ffs_readdir() list a directory. None of
// them writes to the flash, so a mounted image can be walked read-only:
//
//     ffs_dir d; ffs_opendir("/", &d);
//     char name[FFS_NAME_BUFFER];
//     while (ffs_readdir(&d, name, sizeof name) > 0) { ... ffs_stat(path, &st) ... }
//
// (A mount itself may write: it finishes interrupted operations, see ffs_initialize.)
#pragma once

#include <cstdint>

// Result codes. The texts for them live with the front end's error-name table.
enum ffs_code : int {
    FFS_OK = 0,
    FFS_E_NODEVICE = -1,      // flash device unknown
    FFS_E_CORRUPTED = -2,     // filesystem corrupted
    FFS_E_NOPREFORMAT = -3,   // not preformatted
    FFS_E_NOFORMAT = -4,      // not formatted
    FFS_E_BADFORMAT = -5,     // incompatible version
    FFS_E_MAGIC = -6,         // bad magic
    FFS_E_AGAIN = -7,         // not ready (not mounted)
    FFS_E_NOSYS = -8,         // not implemented
    FFS_E_DRIVER = -9,        // device driver error
    FFS_E_NOSPACE = -10,      // out of data space
    FFS_E_FSFULL = -11,       // no free inodes
    FFS_E_BADNAME = -12,      // bad file name
    FFS_E_NOTFOUND = -13,     // object not found
    FFS_E_EXISTS = -14,       // object exists
    FFS_E_ACCESS = -15,       // access permission violation
    FFS_E_NAMETOOLONG = -16,  // file name too long
    FFS_E_INVALID = -17,      // invalid argument
    FFS_E_DIRNOTEMPTY = -18,  // directory not empty
    FFS_E_NOTADIR = -19,      // object is not a directory
    FFS_E_SPARE = -20,
    FFS_E_FILETOOBIG = -21,   // file too big
    FFS_E_NOTAFILE = -22,     // object is not a file
    FFS_E_PATHTOODEEP = -23,  // path too deep
    FFS_E_NUMFD = -24,        // no free descriptor
    FFS_E_BADFD = -25,        // bad descriptor
    FFS_E_BADOP = -26,        // bad operation
    FFS_E_LOCKED = -27,       // file is locked (open elsewhere)
    FFS_E_TOOBIG = -30,       // buffer overflow
    FFS_E_MEMORY = -31,       // out of memory
    FFS_E_MSGSEND = -32,      // message send failed
    FFS_E_SIBLINGLOOP = -40,  // a chain of the inode table loops
    FFS_E_NOBLOCKS = -41,     // no free block for the inode table
    FFS_E_RECLAIM = -42,      // data reclaim did not finish
    FFS_E_RECLAIMLOOP = -43,  // data reclaim entered while one runs
};

// Open flags (second argument of ffs_open).
enum ffs_open_flag : int {
    FFS_O_CREATE = 0x01,
    FFS_O_APPEND = 0x02,
    FFS_O_EXCL = 0x04,
    FFS_O_TRUNC = 0x08,
    FFS_O_READ = 0x10,
    FFS_O_WRITE = 0x20,
};

// Descriptor numbers start here.
inline constexpr int FFS_FD_BASE = 49;

// A name as stored (at most 40 bytes) plus its NUL fits in this many bytes.
inline constexpr int FFS_NAME_BUFFER = 41;

// Directory cursor: the directory's inode and the entry last returned (the directory itself
// before the first read).
struct ffs_dir {
    std::int16_t this_dir;
    std::int16_t index;
};

// Object types as stored.
enum ffs_object_type : int {
    FFS_TYPE_DELETED = 0,
    FFS_TYPE_FILE = 1,
    FFS_TYPE_DIR = 2,
    FFS_TYPE_LINK = 3,
    FFS_TYPE_SEGMENT = 4,
};

// One object as ffs_stat sees it (a link is described itself, not followed).
struct ffs_stat_info {
    std::int16_t inode;         // slot in the inode table
    int type;                   // ffs_object_type
    std::uint8_t flags;         // flags byte as stored
    bool read_only;             // flags bit 4 clear
    std::int32_t size;          // file: data bytes of the object and all its segments; else its data bytes
    std::int32_t segments;      // file: number of segments after the file object
    std::uint32_t location;     // in 16-byte atoms from the start of the area
    std::uint16_t object_size;  // bytes the object occupies in its data block
    std::uint16_t sequence;
    std::uint16_t updates;
};

// ---- binding -------------------------------------------------------------------------------
using ffs_flash_base_fn = std::uint8_t* (*)();
void ffs_bind_flash_base(ffs_flash_base_fn base);

// ---- mount ---------------------------------------------------------------------------------
// Mounts the FFS in the bound image: checks every block, finishes interrupted operations
// (inode table move, block cleaning, a journalled transaction) and reads the format parameters
// from the root directory's name. Every other call returns the mount's error until a mount
// succeeds. A fresh call forgets everything about the previous mount (open descriptors too).
int ffs_initialize();

// ---- file operations -----------------------------------------------------------------------
int ffs_open(const char* path, int flags);
int ffs_write_b(int fd, const void* source, int count);
int ffs_close(int fd);
int ffs_remove(const char* path);
int ffs_mkdir(const char* path);
int ffs_opendir(const char* path, ffs_dir* cursor);
int ffs_readdir(ffs_dir* cursor, char* name, int size);

// ---- reading back --------------------------------------------------------------------------
// Reads up to count bytes at the descriptor's position (a descriptor opened with FFS_O_READ)
// and advances it; returns the number of bytes read, 0 at the end of the file.
int ffs_read(int fd, void* destination, int count);
// Describes the object at path (links are not followed). 0 or a negative code.
int ffs_stat(const char* path, ffs_stat_info* info);
