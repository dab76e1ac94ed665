# Debian 12 packages, sourced by ./run and ./test.
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libusb-1.0-0-dev libcli11-dev)
RUN_PACKAGES=(libqt6widgets6 qt6-qpa-plugins qt6-translations-l10n fonts-wqy-microhei)
TEST_PACKAGES=(libgtest-dev libgmock-dev umockdev libumockdev-dev xvfb xauth)
# clang's libFuzzer and sanitizer runtimes, for scripts/fuzz.sh; ./test installs them too, so
# that .ci/run fuzzes.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
TEST_PACKAGES+=("${FUZZ_PACKAGES[@]}")
