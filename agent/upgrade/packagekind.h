#pragma once

namespace KELUpgradePackage {

// What an offered package is, and so how it is installed.
enum class Kind {
    Unknown,
    ShellScript,      // ".sh": run by /bin/sh
    AppImage,         // ".AppImage": made executable and run itself
    DebianPackage,    // ".deb": handed to the desktop's package installer
    WindowsInstaller, // ".exe": run by itself
};

} // namespace KELUpgradePackage
