// Pool with tags: every block is recorded with its tag, so leaks are counted per tag; frees of
// unknown blocks and frees with the wrong tag end the test; rules make chosen allocations fail.
// New blocks are filled with 0xCD and freed ones with 0xDD, so reading memory that was never
// written, or no longer belongs to the driver, shows.
#include <cstdlib>

#include "emulation_private.h"

namespace kemu::detail {

namespace {

bool ShouldFailLocked(World& world, SIZE_T size, ULONG tag) {
  if (world.largestPoolBlock && size > world.largestPoolBlock) return true;
  for (auto it = world.poolFailures.begin(); it != world.poolFailures.end(); ++it) {
    if ((it->tag && it->tag != tag) || (it->size && it->size != size)) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    if (it->count > 0 && --it->count == 0) world.poolFailures.erase(it);
    return true;
  }
  return false;
}

void FreeBlock(PVOID block, const ULONG* expectedTag, const char* call) {
  if (!block) kemu::Bugcheck("%s of a null pointer", call);
  PoolBlock info;
  {
    auto lock = Lock();
    World& world = TheWorld();
    auto it = world.pool.find(block);
    if (it == world.pool.end())
      kemu::Bugcheck("BAD_POOL_CALLER: %s of a block the pool does not know (freed twice?)", call);
    info = it->second;
    if (expectedTag && *expectedTag != info.tag) kemu::Bugcheck("BAD_POOL_CALLER: %s with the wrong tag", call);
  }
  RequireIrqlAtMost(info.type == NonPagedPool ? DISPATCH_LEVEL : APC_LEVEL, call);
  CheckNoKernelObjectsIn(block, info.size, call);
  {
    auto lock = Lock();
    TheWorld().pool.erase(block);
  }
  memset(block, 0xDD, info.size);
  free(block);
}

}  // namespace

PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool quota) {
  bool failInsteadOfRaise = (ULONG(type) & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
  type = POOL_TYPE(ULONG(type) & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
  RequireIrqlAtMost(type == NonPagedPool ? DISPATCH_LEVEL : APC_LEVEL, "ExAllocatePool");
  {
    auto lock = Lock();
    if (ShouldFailLocked(TheWorld(), size, tag)) {
      if (quota && !failInsteadOfRaise)
        kemu::Bugcheck("a quota allocation failed without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: Windows raises here");
      return nullptr;
    }
  }
  void* block = malloc(size ? size : 1);
  if (!block) kemu::Bugcheck("the host is out of memory");
  memset(block, 0xCD, size);
  auto lock = Lock();
  TheWorld().pool[block] = PoolBlock{tag, size, type};
  return block;
}

void ResetPool(World& world) {
  for (auto& [block, info] : world.pool) free(const_cast<void*>(block));
  world.pool.clear();
}

}  // namespace kemu::detail

namespace kemu {

size_t PoolBlocksInUse(ULONG tag) {
  auto lock = detail::Lock();
  size_t count = 0;
  for (auto& [block, info] : detail::TheWorld().pool)
    if (!tag || info.tag == tag) ++count;
  return count;
}

size_t PoolBytesInUse(ULONG tag) {
  auto lock = detail::Lock();
  size_t bytes = 0;
  for (auto& [block, info] : detail::TheWorld().pool)
    if (!tag || info.tag == tag) bytes += info.size;
  return bytes;
}

}  // namespace kemu

using namespace kemu::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) { return AllocatePool(type, size, tag, false); }

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
  RequireIrqlAtMost(APC_LEVEL, "ExAllocatePoolWithQuotaTag");
  return AllocatePool(type, size, tag, true);
}

void ExFreePool(PVOID block) { FreeBlock(block, nullptr, "ExFreePool"); }

void ExFreePoolWithTag(PVOID block, ULONG tag) { FreeBlock(block, &tag, "ExFreePoolWithTag"); }

MM_SYSTEMSIZE MmQuerySystemSize() {
  auto lock = Lock();
  return TheWorld().systemSize;
}
