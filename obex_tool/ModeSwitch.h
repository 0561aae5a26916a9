// Switches the handset's serial link from AT command mode into OBEX mode.
#pragma once

namespace zarnik {

// Opens the port (115200 baud) when needed and sends "AT+CGMM\r\n", "AT^SQWE=0\r\n" and
// "AT^SQWE=3\r\n", each waiting for a reply of any content. 0 when all three were answered,
// -1 when the port does not open or a command gets no reply (the rest are not sent).
int SwitchToObexMode();

}  // namespace zarnik
