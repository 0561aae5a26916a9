#include "device.h"

#include <array>
#include <cstring>

#include "trace.h"

namespace flashfs {
namespace {

constexpr std::array<BlockInfo, kDeviceBlocks> make_block_table()
{
    std::array<BlockInfo, kDeviceBlocks> table{};
    for (int b = 0; b < kDeviceBlocks; ++b)
        table[b] = BlockInfo{static_cast<std::uint32_t>(b) * 0x10000u, 16, {0, 0, 0}};
    return table;
}

constexpr std::array<BlockInfo, kDeviceBlocks> block_table = make_block_table();

ffs_flash_base_fn bound_base = nullptr;
const DriverOps* bound_driver = &ffsdrv_null;

void null_erase(std::uint8_t block)
{
    std::memset(block_addr(block), 0xFF, std::size_t{1} << dev.binfo[block].size_ld);
}

void null_write_halfword(std::uint8_t* address, std::uint16_t value)
{
    put16(address, value);
}

void nothing() {}

bool inside_area(std::uint32_t offset, std::uint32_t count)
{
    if (dev.base == nullptr || offset > kAreaSize || count > kAreaSize - offset) {
        trace(TR_FAULT, "[ffs] write outside the area: 0x%x + %u", offset, count);
        return false;
    }
    return true;
}

}  // namespace

const DeviceDescription device_description = {
    block_table.data(), 0x01400000, 0x0001, 0x227E, 3, kDeviceBlocks,
};

Device dev{};

int ffsdrv_null_init()
{
    trace_plain(TR_DRIVER, "ffsdrv_null_init()");
    return 0;
}

const DriverOps ffsdrv_null = {
    ffsdrv_null_init, null_erase, null_write_halfword, write, nothing, nothing, nothing,
};

void ffs_bind_driver(const DriverOps* ops)
{
    bound_driver = ops ? ops : &ffsdrv_null;
}

int ffs_dev_init()
{
    const DeviceDescription& d = device_description;
    dev.state = 0;
    dev.binfo = d.binfo;
    dev.base = bound_base ? bound_base() : nullptr;
    dev.manufacturer = d.manufacturer;
    dev.device = d.device;
    dev.numblocks = d.numblocks;
    dev.atomlog2 = kAtomLog2;
    dev.atomsize = static_cast<std::uint8_t>(kAtomSize);
    dev.atomnotmask = static_cast<std::uint8_t>(kAtomSize - 1);
    dev.drvtype = d.driver_type;
    dev.blocksize_ld = d.binfo[0].size_ld;
    dev.blocksize = std::uint32_t{1} << dev.blocksize_ld;
    dev.ops = *bound_driver;
    return dev.base ? 0 : FFS_E_NODEVICE;
}

void write_byte(std::uint8_t* address, std::uint8_t value)
{
    trace(TR_BYTE_WRITE, "wb(0x%x, 0x%x)", static_cast<unsigned>(address - dev.base), value);
    auto offset = static_cast<std::uint32_t>(address - dev.base);
    if (offset & 1) {
        std::uint8_t* even = address - 1;
        dev.ops.write_halfword(even, static_cast<std::uint16_t>((value << 8) | even[0]));
    } else {
        dev.ops.write_halfword(address, static_cast<std::uint16_t>(value | (address[1] << 8)));
    }
}

void write(std::uint8_t* address, const std::uint8_t* source, std::uint32_t count)
{
    if (count == 0)
        return;
    if (count == 1) {
        write_byte(address, source[0]);
        return;
    }
    if (static_cast<std::uint32_t>(address - dev.base) & 1) {
        write_byte(address, *source);
        ++address;
        ++source;
        --count;
    }
    if (dev.ops.write_halfword == null_write_halfword) {
        // Halfwords that are plain stores come down to one copy of the same bytes.
        const std::uint32_t whole = count & ~1u;
        std::memcpy(address, source, whole);
        address += whole;
        source += whole;
        count -= whole;
    }
    for (; count >= 2; count -= 2, address += 2, source += 2)
        dev.ops.write_halfword(address, get16(source));
    if (count == 1)
        write_byte(address, *source);
}

void device_api_enter()
{
    if (dev.state == 1)
        dev.ops.hook_busy();
    else if (dev.state == 3)
        dev.ops.hook_suspended();
}

void device_api_exit()
{
    if (dev.state == 2)
        dev.ops.hook_exit();
}

void flash_write16(std::uint32_t offset, std::uint16_t value)
{
    if (inside_area(offset, 2))
        dev.ops.write_halfword(offset_addr(offset), value);
}

void flash_write32(std::uint32_t offset, std::uint32_t value)
{
    std::uint8_t bytes[4];
    put32(bytes, value);
    flash_write(offset, bytes, 4);
}

void flash_write8(std::uint32_t offset, std::uint8_t value)
{
    if (inside_area(offset, 1))
        write_byte(offset_addr(offset), value);
}

void flash_write(std::uint32_t offset, const void* source, std::uint32_t count)
{
    if (inside_area(offset, count))
        dev.ops.write(offset_addr(offset), static_cast<const std::uint8_t*>(source), count);
}

void flash_erase(int block)
{
    if (block >= 0 && block < kDeviceBlocks)
        dev.ops.erase(static_cast<std::uint8_t>(block));
}

}  // namespace flashfs

void ffs_bind_flash_base(ffs_flash_base_fn base)
{
    flashfs::bound_base = base;
}
