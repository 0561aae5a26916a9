// PoRequestPowerIrp, which Wine 8 leaves unimplemented (the driver host aborts on the call):
// builds an IRP_MJ_POWER request, sends it to the top of the given device's stack, and on its
// completion calls the requester's callback with the final status, then frees the request.
#include "supply.h"

namespace {

const ULONG SupplyPoolTag = 0x70757357;  // reads "Wsup" in a pool dump

struct PowerRequest {
  PDEVICE_OBJECT Device;
  UCHAR Minor;
  POWER_STATE State;
  PREQUEST_POWER_COMPLETE Complete;
  PVOID Context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  if (request->Complete) {
    request->Complete(request->Device, request->Minor, request->State, request->Context, &irp->IoStatus);
  }
  ExFreePool(request);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

extern "C" NTSTATUS NTAPI SupplyPoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                                  PREQUEST_POWER_COMPLETE complete, PVOID context, PIRP* irpOut) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  auto* request = static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), SupplyPoolTag));
  if (!irp || !request) {
    if (irp) IoFreeIrp(irp);
    if (request) ExFreePool(request);
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  request->Device = device;
  request->Minor = minor;
  request->State = state;
  request->Complete = complete;
  request->Context = context;

  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
  }
  IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
  if (irpOut) *irpOut = irp;
  PoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}
