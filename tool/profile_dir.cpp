#include "profile_dir.h"

#include "path_text.h"

#include <ini.h>

#include <memory>

namespace {

struct IniClose {
    void operator()(ini_t *ini) const { ini_close(ini); }
};
using IniHandle = std::unique_ptr<ini_t, IniClose>;

}  // namespace

int findProfileDir(const char *home, ProfileApp app, ProfileDirBuffer &out) {
    const ProfileLocation location = profileLocationOf(app);

    std::array<char, PROFILES_INI_PATH_SIZE> listPath{};
    if (!joinText(listPath, {home, location.listFile})) return 0;

    std::array<char, PROFILE_PATH_VALUE_SIZE> value{};
    {
        // Read only: the engine works on a private copy and profiles.ini is
        // never rewritten. A missing heading or key leaves the value empty.
        const IniHandle ini(ini_open(listPath.data(), "r", nullptr));
        if (!ini) return 0;
        ini_selectHeading(ini.get(), "Profile0");
        ini_selectKey(ini.get(), "Path");
        ini_readText(ini.get(), value.data(), value.size());
    }
    if (value[0] == '\0') return 0;

    out.fill('\0');
    // The value is taken as relative to the application's directory, whatever
    // the file says about it; home and value together always fit.
    return joinText(out, {home, location.parent, value.data()}) ? 1 : 0;
}
