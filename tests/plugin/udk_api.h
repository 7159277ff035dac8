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
};

}  // namespace qvk::test
