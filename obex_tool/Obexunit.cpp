#include "Obexunit.h"

#include "Miscunit.h"
#include "ObexEngine.h"
#include "Programlog.h"
#include "Strfunction.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

namespace zarnik {

namespace {

// The OBEX service the handset expects in the CONNECT's Target header.
const ObexBytes kHandsetService = {0x6B, 0x01, 0xCB, 0x31, 0x41, 0x06, 0x11, 0xD4,
                                   0x9A, 0x77, 0x00, 0x50, 0xDA, 0x3F, 0x47, 0x1F};

constexpr std::uint32_t kCreatorId = 0x61646472;

std::uint64_t stream_size(std::istream& stream)
{
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(0, std::ios::beg);
    return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

void show_progress(std::uint64_t sent, std::uint64_t total)
{
    const int percent = static_cast<int>(sent * 100 / total);
    printMessage("\r\r\r%03d", percent);
    program_log("Position:%03d\n", percent);
}

// The final PUT of an object with nothing left to carry: an empty End of Body.
bool close_object(int id)
{
    ObexHeaderSet headers;
    headers.set_bytes(kHeaderEndOfBody, {});
    std::uint8_t code = 0;
    IrObexPutReq(id, &headers, code);
    return obex_code_ok(code);
}

int data_packet_refused()
{
    printMessage("SendFile IrObexPutReq send data error!!!\n");
    program_log("SendFile IrObexPutReq send data error!!!\n");
    return -7;
}

}  // namespace

int InitObex(int& maxDataLength)
{
    static int calls = 0;
    if (calls++ == 0) {
        obex_reset_sessions();
    }
    const int id = IrObexOpenReq();
    if (id == -1) {
        program_log("IrObexOpenReq error!!\n");
        return -2;
    }
    ObexHeaderSet headers;
    headers.set_bytes(kHeaderTarget, kHandsetService);
    int negotiated = -1;
    std::uint8_t code = 0;
    IrObexConnectReq(id, &headers, negotiated, code);
    if (negotiated != -1 && code == kObexSuccess) {
        maxDataLength = negotiated;
        return id;
    }
    program_log("IrObexConnectReq error!!\n");
    return -3;
}

int ObexClose(int id)
{
    const ObexHeaderSet none;
    std::uint8_t code = 0;
    IrObexDisconnectReq(id, &none, code);
    IrObexCloseReq(id);
    program_log("ObexClose\n");
    return 0;
}

int SetPath2(int id, const std::string& folder)
{
    program_log("Enter SetPath2\n");
    const std::string translated = text_replace_char(folder, "\\", "/");
    program_log("  Source path:%s    tran path:%s\n", folder.c_str(), translated.c_str());
    const int pieces = text_field_count(translated, "/");
    for (int i = 0; i < pieces; ++i) {
        const std::string piece = text_field(translated, "/", i);
        if (!piece.empty()) {
            SetPath(id, piece);
        }
    }
    program_log("Exit SetPath2\n");
    return 0;
}

int SetPath(int id, const std::string& name)
{
    ObexHeaderSet headers;
    headers.set_name(name);
    std::uint8_t code = 0;
    IrObexSetPathReq(id, &headers, code, 0);
    if (obex_code_ok(code)) {
        program_log("SetPath %s OK!\n", name.c_str());
        return 0;
    }
    program_log("SetPath %s error!!!code:%xh\n", name.c_str(), code);
    return -9;
}

int DeleteFile(int id, const std::string& name)
{
    program_log("Enter DeleteFile\n");
    ObexHeaderSet headers;
    headers.set_name(name);
    std::uint8_t code = 0;
    IrObexPutReq(id, &headers, code);
    if (obex_code_ok(code)) {
        program_log("Exit DeleteFile\n");
        return 0;
    }
    printMessage("DeleteFile %s error\n", name.c_str());
    program_log("DeleteFile:%s error!!Code:%x\n", name.c_str(), code);
    const ObexHeaderSet none;
    std::uint8_t abort_code = 0;
    IrObexAbortReq(id, &none, abort_code);
    return -7;
}

int SendFile(int id, std::istream& stream, const std::string& name, int maxDataLength)
{
    printMessage("Now begin send file:%s\n", name.c_str());
    program_log("Now send file:%s dataSize:\n", name.c_str());
    const std::size_t chunk_size = static_cast<std::size_t>(std::max(maxDataLength, 1));
    std::vector<char> chunk;
    try {
        chunk.resize(chunk_size);
    } catch (const std::bad_alloc&) {
        return data_packet_refused();
    }
    const std::uint64_t total = stream_size(stream);
    std::uint64_t remaining = total;
    std::uint64_t sent = 0;

    ObexHeaderSet first;
    first.set_name(name);
    first.set_u32(kHeaderLength, static_cast<std::uint32_t>(total));
    first.set_bytes(kHeaderBody, {});
    first.set_u32(kHeaderCreatorId, kCreatorId);
    std::uint8_t code = 0;
    IrObexPutReq(id, &first, code);
    if (!obex_code_ok(code)) {
        printMessage("SendFile IrObexPutReq error!!! Code:%x\n", code);
        program_log("SendFile IrObexPutReq error!!!  Code:%x\n", code);
        return -6;
    }
    printMessage("000");

    if (total == 0) {
        // An empty file still gets its final packet, so no PUT is left open on the handset. It
        // carries no data, so no progress is shown for it.
        if (!close_object(id)) {
            return data_packet_refused();
        }
    }
    while (remaining != 0) {
        stream.read(chunk.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(chunk_size, remaining)));
        const auto n = static_cast<std::uint64_t>(stream.gcount());
        if (n == 0) {
            // The stream ended before its size: close the object and report the file as not sent.
            program_log("SendFile local data ended early!!!\n");
            close_object(id);
            return data_packet_refused();
        }
        sent += n;
        show_progress(sent, total);
        remaining -= n;
        ObexHeaderSet data;
        data.set_bytes(remaining == 0 ? kHeaderEndOfBody : kHeaderBody, ObexBytes(chunk.begin(), chunk.begin() + n));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        IrObexPutReq(id, &data, code);
        if (!obex_code_ok(code)) {
            return data_packet_refused();
        }
    }
    printMessage("\nEnd send file:%s\n", name.c_str());
    program_log("\nEnd send file:%s\n", name.c_str());
    return 0;
}

}  // namespace zarnik
