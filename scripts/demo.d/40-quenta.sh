# Demo: Quenta, the USB serial-port driver, on the emulated kernel: a handset becomes COM5
set -euo pipefail
"$KIT_BUILD/tests/usb_serial_driver/quenta_session"
