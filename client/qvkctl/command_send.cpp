// SPDX-License-Identifier: BSD-3-Clause
// qvkctl send PATH APDU...: list (the daemon opens only paths its latest
// enumeration listed), open PATH, exchange each APDU in turn, close. Each
// answer is printed on its own line: the data in hex, a space, and the four
// hex digits of the status word (just the status word when there is no data).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_status.h"
#include "hex.h"
#include "qvk_segment.h"
#include "session.h"

namespace qvkctl {

namespace {

constexpr std::chrono::seconds kDefaultTimeout{60};
constexpr std::size_t kMinApdu = 4;

bool is_listed(const qvk_device_list &devices, const std::string &path) {
    for (unsigned i = 0; i < devices.count; ++i)
        if (path == devices.paths[i]) return true;
    return false;
}

void print_answer(std::span<const std::uint8_t> data, std::uint32_t status) {
    const std::string text = format_hex(data);
    std::printf("%s%s%04X\n", text.c_str(), text.empty() ? "" : " ", static_cast<unsigned>(status));
}

// Exchanges every APDU; stops at the first failure and returns its exit status.
int exchange_all(qvk_client *client, std::uint32_t handle,
                 const std::vector<std::vector<std::uint8_t>> &apdus) {
    std::array<std::uint8_t, RESP_MAX_DATA> response;
    for (const auto &apdu : apdus) {
        std::size_t length = response.size();
        std::uint32_t status = 0;
        const qvk_result sent =
            qvk_transmit(client, handle, apdu.data(), apdu.size(), response.data(), &length, &status);
        if (sent != QVK_OK) {
            const std::string what = "APDU " + format_hex(apdu);
            return report_failure(what.c_str(), sent);
        }
        print_answer({response.data(), length}, status);
        std::fflush(stdout);
    }
    return EXIT_OK;
}

}  // namespace

int command_send(const Options &options, const Arguments &arguments) {
    if (arguments.size() < 2) return usage_error("send: needs a device path and at least one APDU");
    const std::string &path = arguments[0];
    if (path.empty() || path.size() >= DEV_PATH_SLOT_SIZE)
        return usage_error("send: a device path has 1 to 127 characters");
    std::vector<std::vector<std::uint8_t>> apdus;
    for (auto argument = arguments.begin() + 1; argument != arguments.end(); ++argument) {
        auto apdu = parse_hex(*argument);
        // A command APDU has at least CLA INS P1 P2; a shorter one may never
        // be answered (a PC/SC reader driver can take it for a control).
        if (!apdu || apdu->size() < kMinApdu || apdu->size() > CMD_BUF_SIZE)
            return usage_error("send: '" + *argument + "' is not an APDU of 4 to 512 hex bytes");
        apdus.push_back(std::move(*apdu));
    }

    Session session;
    qvk_device_list devices;
    if (const int listed = connect_and_list(session, options.timeout.value_or(kDefaultTimeout), devices);
        listed != EXIT_OK)
        return listed;
    if (!is_listed(devices, path)) {
        std::fprintf(stderr, "qvkctl: %s is not among the devices qvkserver lists (see qvkctl list)\n",
                     path.c_str());
        return EXIT_NO_DEVICE;
    }
    std::uint32_t handle = 0;
    if (const qvk_result opened = qvk_open(session.client(), path.c_str(), &handle); opened != QVK_OK)
        return report_failure(("open " + path).c_str(), opened);

    const int exchanged = exchange_all(session.client(), handle, apdus);
    const qvk_result closed = qvk_close(session.client(), handle);
    if (exchanged != EXIT_OK) return exchanged;
    if (closed != QVK_OK) return report_failure(("close " + path).c_str(), closed);
    return EXIT_OK;
}

}  // namespace qvkctl
