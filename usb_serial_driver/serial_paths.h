// The entry points of the read path, the write path and the serial request set: the dispatch
// routines of the serial requests (read_path.cpp, write_path.cpp, device_control.cpp,
// internal_requests.cpp), the DPC routines the device's start sets up, and the transmit branch
// of the bulk completion (transmit_side.cpp).
#pragma once

#include "port_extension.h"

namespace quenta {

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT device, PIRP irp);

// DPC routines; the context is the PortExtension. Each ends with DpcEnd.
void NTAPI CompleteReadRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI TotalReadTimeoutRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI IntervalReadTimeoutRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI CompleteWriteRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI WriteTimeoutRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI CompleteImmediateRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI ImmediateTimeoutRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
void NTAPI CommWaitRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);

// A bulk-OUT transfer came back, whatever its status: count is the bytes the bus reports
// accepted. IRQL: <= DISPATCH_LEVEL, no lock held.
void OnTransmitComplete(PortExtension* port, NTSTATUS status, USBD_STATUS urbStatus, ULONG count);

}  // namespace quenta
