// The OBEX operations the send loop needs: open and connect a session, walk into a folder,
// delete a file, send a file in chunks with its progress, close the session.
#pragma once

#include <istream>
#include <string>

namespace zarnik {

// Opens a session (port, mode switch) and connects with the handset's Target. Returns the
// connection id and sets maxDataLength; -2 when the open failed, -3 when CONNECT was not
// answered 0xA0 (the slot and the port then stay open).
int InitObex(int& maxDataLength);
// DISCONNECT, then closes the session and its port. Returns 0.
int ObexClose(int id);
// Walks down into folder one SETPATH per non-empty piece ('\' and '/' both separate). Returns 0.
int SetPath2(int id, const std::string& folder);
// One step down into name (created when missing). 0, or -9 when refused.
int SetPath(int id, const std::string& name);
// Deletes name in the current folder. 0, or -7 when refused (after an ABORT).
int DeleteFile(int id, const std::string& name);
// Sends the stream's content as name. 0; -6 when the first packet is refused; -7 when a later
// packet is refused or the stream ends before its size.
int SendFile(int id, std::istream& stream, const std::string& name, int maxDataLength);

}  // namespace zarnik
