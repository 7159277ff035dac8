// SPDX-License-Identifier: BSD-3-Clause
// APDU trace: a readable hexadecimal dump of one exchange (command, status
// and, for a successful answer with data, the response), appended to the
// trace file or printed on standard output.
#include "qvkmgrudk.h"

#include <cstdio>
#include <span>

#include "plugin_config.h"

using namespace qvk::udk;

namespace {

// The bytes (none when the pointer is null) as "%02X " each, 32 to a line,
// every line starting with the indent and the dump ending with a newline.
void dump_bytes(std::FILE *out, uint32_t length, const uint8_t *bytes) {
    const std::span<const uint8_t> data(bytes, bytes == nullptr ? 0 : length);
    std::fputs(APDU_LOG_INDENT, out);
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::fprintf(out, "%02X ", data[i]);
        if ((i + 1) % APDU_LOG_BYTES_PER_LINE == 0) {
            std::fputc('\n', out);
            std::fputs(APDU_LOG_INDENT, out);
        }
    }
    std::fputc('\n', out);
}

void dump_exchange(std::FILE *out, uint32_t command_length, const uint8_t *command,
                   int32_t status, uint32_t response_length, const uint8_t *response) {
    std::fputs("COMM:\n", out);
    dump_bytes(out, command_length, command);
    std::fprintf(out, "lVal=%04X \n", static_cast<unsigned>(status));
    if (status == static_cast<int32_t>(SW_SUCCESS) && response_length != 0 && response != nullptr) {
        std::fputs("RESP:\n", out);
        dump_bytes(out, response_length, response);
    }
}

}  // namespace

QVK_EXPORT void _LOG_Message_FILE(uint32_t command_length, const uint8_t *command, int32_t status,
                                  uint32_t response_length, const uint8_t *response) {
    std::FILE *log = std::fopen(APDU_LOG_PATH, "a+");
    if (log == nullptr) return;  // no trace directory: tracing is off
    dump_exchange(log, command_length, command, status, response_length, response);
    std::fclose(log);
}

QVK_EXPORT void _Print_Debug(uint32_t command_length, const uint8_t *command, int32_t status,
                             uint32_t response_length, const uint8_t *response) {
    std::fputs("_DEBUG_Start\n", stdout);
    dump_exchange(stdout, command_length, command, status, response_length, response);
    std::fputs("_DEBUG_End\n", stdout);
}
