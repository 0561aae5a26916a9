// The flash device layer: the device description, the device record that mount fills, the
// driver operation table (the null driver stores into memory) and address translation.
// The core reads the flash through dev.base and changes it only through dev.ops.
#pragma once

#include <cstdint>

#include "ffs.h"
#include "layout.h"

namespace flashfs {

struct BlockInfo {
    std::uint32_t offset;  // from the start of the area
    std::uint8_t size_ld;  // block size exponent
    std::uint8_t unused[3];
};

struct DeviceDescription {
    const BlockInfo* binfo;
    std::uint32_t flash_address;  // where the area sits in the handset's address space
    std::uint16_t manufacturer;
    std::uint16_t device;
    std::uint8_t driver_type;
    std::uint8_t numblocks;
};

inline constexpr int kDeviceBlocks = 64;
inline constexpr std::uint32_t kAreaSize = 64u * 0x10000u;  // 4 MiB
extern const DeviceDescription device_description;

// Driver operations, in slot order. Addresses point into the area (base + offset).
//
// Writes and erases return nothing because they cannot fail: the flash is a working copy in
// memory, and every store into it succeeds. The core therefore has no error path for a failed
// program or erase; a driver for real flash would need one (FFS_E_DRIVER) before it could be
// bound here.
struct DriverOps {
    int (*init)();
    void (*erase)(std::uint8_t block);
    void (*write_halfword)(std::uint8_t* address, std::uint16_t value);
    void (*write)(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count);
    void (*hook_suspended)();  // API entry with device state 3
    void (*hook_busy)();       // API entry with device state 1
    void (*hook_exit)();       // API exit with device state 2
};

struct Device {
    std::uint8_t* base;
    const BlockInfo* binfo;
    std::uint16_t manufacturer;
    std::uint16_t device;
    std::uint8_t blocksize_ld;
    std::uint32_t blocksize;
    std::uint8_t atomlog2;
    std::uint8_t atomsize;
    std::uint8_t atomnotmask;
    std::uint8_t numblocks;
    std::uint8_t drvtype;
    std::uint8_t state;
    DriverOps ops;
};

extern Device dev;

// Fills dev from the description, the bound flash base and the bound driver.
int ffs_dev_init();

// The null driver.
int ffsdrv_null_init();
extern const DriverOps ffsdrv_null;

// Write rules shared by every driver: single bytes and unaligned runs are built from halfword
// writes (dev.ops.write_halfword), keeping the neighbouring byte as it is. write() is the null
// driver's run operation.
void write_byte(std::uint8_t* address, std::uint8_t value);
void write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count);

// Which driver table the next ffs_dev_init copies (tests bind a recording driver).
void ffs_bind_driver(const DriverOps* ops);  // nullptr: the null driver

// API entry and exit checks of the device state (the state is always 0 here).
void device_api_enter();
void device_api_exit();

// ---- address translation (offsets are bytes from the start of the area) ----
[[gnu::always_inline]] inline std::uint8_t* offset_addr(std::uint32_t offset)
{
    return dev.base + offset;
}
[[gnu::always_inline]] inline std::uint32_t location_offset(std::uint32_t location)
{
    return location << dev.atomlog2;
}
[[gnu::always_inline]] inline std::uint8_t* location_addr(std::uint32_t location)
{
    return dev.base + location_offset(location);
}
[[gnu::always_inline]] inline std::uint32_t block_offset(int block)
{
    return dev.binfo[block].offset;
}
inline std::uint8_t* block_addr(int block)
{
    return dev.base + block_offset(block);
}
inline int location_block(std::uint32_t location)
{
    return static_cast<int>(location_offset(location) >> dev.blocksize_ld);
}
inline int offset_block(std::uint32_t offset)
{
    return static_cast<int>(offset >> dev.blocksize_ld);
}

// Checked writes by offset: a write that would leave the area is dropped (and traced as a
// fault); the core computes every offset from checked values, so this is a last guard.
void flash_write16(std::uint32_t offset, std::uint16_t value);
void flash_write32(std::uint32_t offset, std::uint32_t value);
void flash_write8(std::uint32_t offset, std::uint8_t value);
void flash_write(std::uint32_t offset, const void* source, std::uint32_t count);
void flash_erase(int block);

inline std::uint16_t flash_read16(std::uint32_t offset)
{
    return get16(offset_addr(offset));
}
inline std::uint32_t flash_read32(std::uint32_t offset)
{
    return get32(offset_addr(offset));
}

}  // namespace flashfs
