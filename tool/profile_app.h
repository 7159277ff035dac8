// SPDX-License-Identifier: BSD-3-Clause
// The Mozilla applications whose default profile Keyrill works on, and where
// each keeps its profile list and its profiles below a home directory.
#pragma once

enum class ProfileApp { Firefox, Thunderbird };

struct ProfileLocation {
    const char *listFile;  // the profile list, appended to the home
    const char *parent;    // the directory the profile's Path is relative to
};

constexpr ProfileLocation profileLocationOf(ProfileApp app) {
    switch (app) {
        case ProfileApp::Firefox:
            return {"/.mozilla/firefox/profiles.ini", "/.mozilla/firefox/"};
        case ProfileApp::Thunderbird:
            return {"/.thunderbird/profiles.ini", "/.thunderbird/"};
    }
    return {"", ""};
}
