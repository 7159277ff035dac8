// SPDX-License-Identifier: BSD-3-Clause
// The exports of libqvkmgrudk, looked up by name in the built library.
#pragma once

#include "plugin_library.h"
#include "qvkmgrudk.h"

namespace qvk::test {

struct UdkApi {
    PluginLibrary library{QVK_PLUGIN_PATH};
    decltype(&EnumQvDevPath) enumerate = library.function<decltype(&EnumQvDevPath)>("EnumQvDevPath");
    decltype(&OpenQvDev) open_device = library.function<decltype(&OpenQvDev)>("OpenQvDev");
    decltype(&CloseQvDev) close_device = library.function<decltype(&CloseQvDev)>("CloseQvDev");
    decltype(&Icc_tsi_apiQvDev) transmit = library.function<decltype(&Icc_tsi_apiQvDev)>("Icc_tsi_apiQvDev");
    decltype(&CT_open) ct_open = library.function<decltype(&CT_open)>("CT_open");
    decltype(&CT_close) ct_close = library.function<decltype(&CT_close)>("CT_close");
    decltype(&ICC_tsi_api) exchange = library.function<decltype(&ICC_tsi_api)>("ICC_tsi_api");

    // Card file commands.
    decltype(&ICC_reset) reset = library.function<decltype(&ICC_reset)>("ICC_reset");
    decltype(&ICC_Read_binary) read_binary = library.function<decltype(&ICC_Read_binary)>("ICC_Read_binary");
    decltype(&ICC_Write_binary) write_binary = library.function<decltype(&ICC_Write_binary)>("ICC_Write_binary");
    decltype(&ICC_set_NAD) set_nad = library.function<decltype(&ICC_set_NAD)>("ICC_set_NAD");

    // DES toolkit.
    decltype(&Byte8_Bit64) byte8_bit64 = library.function<decltype(&Byte8_Bit64)>("Byte8_Bit64");
    decltype(&::power2) power_of_two = library.function<decltype(&::power2)>("power2");
    decltype(&DESsubkey) des_subkey = library.function<decltype(&DESsubkey)>("DESsubkey");
    decltype(&DESencrypt) des_encrypt = library.function<decltype(&DESencrypt)>("DESencrypt");
    decltype(&DESdecrypt) des_decrypt = library.function<decltype(&DESdecrypt)>("DESdecrypt");
    decltype(&DESmac) des_mac = library.function<decltype(&DESmac)>("DESmac");
    decltype(&SingleDES) single_des = library.function<decltype(&SingleDES)>("SingleDES");
    decltype(&TripleDES) triple_des = library.function<decltype(&TripleDES)>("TripleDES");

    // APDU trace.
    decltype(&_LOG_Message_FILE) log_to_file = library.function<decltype(&_LOG_Message_FILE)>("_LOG_Message_FILE");
    decltype(&_Print_Debug) print_debug = library.function<decltype(&_Print_Debug)>("_Print_Debug");
};

}  // namespace qvk::test
