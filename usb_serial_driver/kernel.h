// The one header through which the driver sees the kernel. On Windows it pulls in the DDK
// headers of mingw-w64 (with the work-arounds those headers need in C++); on Linux it pulls in
// the user-mode emulation the tests run the driver against. Driver files include nothing else
// from the platform.
#pragma once

#if defined(_WIN32)
// mingw-w64's wdm.h redefines these two as static inline in C++, which clashes with
// intrin-impl.h; this makes intrin-impl.h skip its copies.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// wdm.h tests NTDDI_WINVISTA, which sdkddkver.h never defines, around a type it needs.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {  // ddk/usbdlib.h has no extern "C" guard of its own
#include <ddk/usbdlib.h>
}
#include <ntddser.h>

#define KTEXT(text) L##text

// Flags one context writes and another reads without a lock; on x86 a volatile access is
// already an acquire load or a release store.
inline UCHAR ReadUCharAcquire(const volatile UCHAR* source) { return *source; }
inline void WriteUCharRelease(volatile UCHAR* target, UCHAR value) { *target = value; }
inline LONG ReadLongAcquire(const volatile LONG* source) { return *source; }
#else
#include "driver_view.h"
#endif
