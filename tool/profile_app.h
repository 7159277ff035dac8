// SPDX-License-Identifier: BSD-3-Clause
// The NSS databases of a home that Keyrill works on ("stores"), and where
// each lies below the home: the Mozilla applications' profile lists, the one
// shared database of Chrome and Chromium, and the same inside the Flatpak
// and Snap sandboxes.
//
// Firefox keeps its profiles in ~/.mozilla/firefox while ~/.mozilla exists
// (or MOZ_LEGACY_HOME=1 is set, or the Firefox is older than 147); otherwise
// in $XDG_CONFIG_HOME/mozilla/firefox, by default ~/.config/mozilla/firefox.
// Which of them a user's Firefox starts with depends on its version and on
// the session's environment, neither of which Keyrill can see, so both are
// worked on wherever they hold a profile list. Thunderbird never moved (it
// names its own directory, which Firefox's rule leaves in place).
//
// A Flatpak sees the host's files only where its permissions grant them, and
// then under /run/host; a confined Snap sees its base's /usr, not the host's.
// Both always see their own tree below the home (~/.var/app/<id>,
// ~/snap/<name>) at the same path, and that is all Keyrill relies on.
#pragma once

#include <array>

enum class ProfileApp {
    Firefox,
    Thunderbird,
    FirefoxXdg,
    Chrome,
    FlatpakFirefox,
    FlatpakFirefoxXdg,
    FlatpakThunderbird,
    SnapFirefox,
    SnapThunderbird,
    SnapChromium,
};

// Every store of a home, in the order in which they are worked on.
inline constexpr std::array<ProfileApp, 10> PROFILE_APPS{
    ProfileApp::Firefox,           ProfileApp::Thunderbird,     ProfileApp::FirefoxXdg,
    ProfileApp::Chrome,            ProfileApp::FlatpakFirefox,  ProfileApp::FlatpakFirefoxXdg,
    ProfileApp::FlatpakThunderbird, ProfileApp::SnapFirefox,    ProfileApp::SnapThunderbird,
    ProfileApp::SnapChromium,
};

struct ProfileLocation {
    const char *name;      // how messages name the store
    const char *listFile;  // the profile list, appended to the home; null: parent
                           // is itself one NSS database (SQL format), never created
    const char *parent;    // the directory a profile's Path is relative to (or
                           // the database), appended to the home
    const char *sandbox;   // the sandbox's own tree, appended to the home; null
                           // for a store outside any sandbox
};

constexpr ProfileLocation profileLocationOf(ProfileApp app) {
    switch (app) {
        case ProfileApp::Firefox:
            return {"Firefox", "/.mozilla/firefox/profiles.ini", "/.mozilla/firefox/", nullptr};
        case ProfileApp::Thunderbird:
            return {"Thunderbird", "/.thunderbird/profiles.ini", "/.thunderbird/", nullptr};
        case ProfileApp::FirefoxXdg:
            return {"Firefox", "/.config/mozilla/firefox/profiles.ini", "/.config/mozilla/firefox/",
                    nullptr};
        case ProfileApp::Chrome:
            return {"Chrome", nullptr, "/.pki/nssdb", nullptr};
        case ProfileApp::FlatpakFirefox:
            return {"Flatpak Firefox", "/.var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini",
                    "/.var/app/org.mozilla.firefox/.mozilla/firefox/", "/.var/app/org.mozilla.firefox"};
        case ProfileApp::FlatpakFirefoxXdg:
            return {"Flatpak Firefox",
                    "/.var/app/org.mozilla.firefox/config/mozilla/firefox/profiles.ini",
                    "/.var/app/org.mozilla.firefox/config/mozilla/firefox/",
                    "/.var/app/org.mozilla.firefox"};
        case ProfileApp::FlatpakThunderbird:
            return {"Flatpak Thunderbird", "/.var/app/org.mozilla.Thunderbird/.thunderbird/profiles.ini",
                    "/.var/app/org.mozilla.Thunderbird/.thunderbird/",
                    "/.var/app/org.mozilla.Thunderbird"};
        case ProfileApp::SnapFirefox:
            return {"Snap Firefox", "/snap/firefox/common/.mozilla/firefox/profiles.ini",
                    "/snap/firefox/common/.mozilla/firefox/", "/snap/firefox"};
        case ProfileApp::SnapThunderbird:
            return {"Snap Thunderbird", "/snap/thunderbird/common/.thunderbird/profiles.ini",
                    "/snap/thunderbird/common/.thunderbird/", "/snap/thunderbird"};
        case ProfileApp::SnapChromium:
            return {"Snap Chromium", nullptr, "/snap/chromium/current/.pki/nssdb", "/snap/chromium"};
    }
    return {"", "", "", nullptr};
}
