# Debian 12 packages, sourced by ./run, ./test and the scripts that install what they use.
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libusb-1.0-0-dev libcli11-dev nettle-dev
    nlohmann-json3-dev libfontconfig-dev)
RUN_PACKAGES=(libqt6widgets6 qt6-qpa-plugins qt6-translations-l10n fonts-wqy-microhei)
TEST_PACKAGES=(libgtest-dev libgmock-dev umockdev libumockdev-dev xvfb xauth zsh fish)
# The package check (scripts/package-check.sh) and the icon renderer (scripts/icons.sh).
PACKAGE_CHECK_PACKAGES=(lintian desktop-file-utils appstream man-db librsvg2-bin bash-completion
    zsh fish file icoutils)
# For the checks on an X server of their own: the window-manager ping (scripts/responsiveness.sh),
# the start-up benchmark and the ThreadSanitizer run of the window (scripts/tsan-window.sh).
PING_PACKAGES=(xvfb python3-xlib xdotool)
# The Windows cross build, its installer and its tests under wine (scripts/windows-build.sh,
# windows-test.sh, windows-screenshots.sh): windres and strip come with the binutils, the
# caption buttons' font with fonts-wine, the Chinese glyphs with fonts-wqy-microhei; the window
# tests run on Xvfb, the pictures are taken with ImageMagick.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    googletest libcli11-dev nlohmann-json3-dev wine64 fonts-wine fonts-wqy-microhei xvfb wixl imagemagick)
# clang's libFuzzer and sanitizer runtimes, for scripts/fuzz.sh; ./test installs them too, so
# that .ci/run fuzzes.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
TEST_PACKAGES+=("${FUZZ_PACKAGES[@]}")
