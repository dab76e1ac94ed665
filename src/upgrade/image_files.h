#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"

namespace kq {

inline constexpr uint32_t kMaxFirmwareLength = 129024;
inline constexpr uint32_t kMaxLoaderLength = 10240;

enum class ImageCheck {
    Ok,
    NoFileName,          // "WarningSystem.InvalidFileName"
    FirmwareUnreadable,  // "WarningSystem.FirmWareUpgrateFail"
    FirmwareSize,        // the same
    LoaderUnreadable,    // "WarningSystem.NoLoader", which says where the loader is looked for
    LoaderSize,          // "WarningSystem.FirmWareUpgrateFail"
};

// The message text key for a failed check (title "WarningSystem.Title"); nullptr for Ok.
const char* ImageCheckMessageKey(ImageCheck check);

struct UpgradeImages {
    std::vector<uint8_t> firmware;
    std::vector<uint8_t> loader;
};

struct ImageLoadResult {
    ImageCheck check = ImageCheck::Ok;
    std::string path;  // the file the check is about (the loader that was used, when Ok)
    uint64_t size = 0;
};

// The folders the loader image is looked for in, in order, each once: programDir, then the
// user's data folder and the system's ($XDG_DATA_HOME, then $XDG_DATA_DIRS: ~/.local/share,
// /usr/local/share, /usr/share), each with kq7300 appended; on Windows programDir, then
// %LOCALAPPDATA%\kq7300. The package brings no loader image and puts nothing there.
std::vector<std::filesystem::path> LoaderFolders(const std::filesystem::path& programDir);

// The loader files tried, in order: usbloader.bin, then usbloader.enc, in each of LoaderFolders.
std::vector<std::filesystem::path> LoaderCandidates(const std::filesystem::path& programDir);

// The folder of the running executable (os::ExecutablePath's), empty when it cannot be told.
std::filesystem::path ProgramDirectory();

// A file name in UTF-8, as the program passes names around, as a path.
using os::PathFromUtf8;

// Reads the firmware file and the first loader candidate that opens, with their size limits, in
// the order the Upgrade button checks them. `images` is only written when both pass. The
// firmware's name is UTF-8.
ImageLoadResult LoadUpgradeImages(const std::string& firmwareName,
                                  const std::vector<std::filesystem::path>& loaderCandidates,
                                  UpgradeImages& images);

}  // namespace kq
