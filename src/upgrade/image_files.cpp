#include "upgrade/image_files.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "os/file.h"
#include "os/os.h"

namespace kq {
namespace {

struct OpenedImage {
    os::File file;
    uint64_t length = 0;
};

// Only regular files on a disk count as openable: a folder, a device or a pipe cannot hold an
// image, and a FIFO must not make the program wait for a writer.
std::optional<OpenedImage> OpenImage(const std::filesystem::path& path) {
    std::error_code ec;
    OpenedImage image{os::File::OpenForReading(path, ec)};
    if (!image.file || !image.file.Size(image.length, ec)) return std::nullopt;
    return image;
}

// Tests the length of an opened image against the limit and reads the whole file.
ImageCheck ReadImage(const std::optional<OpenedImage>& image, uint32_t maxLength,
                     ImageCheck unreadable, ImageCheck badSize, ImageLoadResult& result,
                     std::vector<uint8_t>& out) {
    if (!image) return unreadable;
    result.size = image->length;
    if (image->length == 0 || image->length > maxLength) return badSize;
    out.resize(image->length);
    size_t read = 0;
    std::error_code ec;
    return image->file.ReadAt(0, out, read, ec) && read == out.size() ? ImageCheck::Ok : unreadable;
}

}  // namespace

const char* ImageCheckMessageKey(ImageCheck check) {
    switch (check) {
        case ImageCheck::Ok:
            return nullptr;
        case ImageCheck::NoFileName:
            return "WarningSystem.InvalidFileName";
        case ImageCheck::LoaderUnreadable:
            return "WarningSystem.NoLoader";
        case ImageCheck::FirmwareUnreadable:
        case ImageCheck::FirmwareSize:
        case ImageCheck::LoaderSize:
            return "WarningSystem.FirmWareUpgrateFail";
    }
    return nullptr;
}

std::vector<std::filesystem::path> LoaderFolders(const std::filesystem::path& programDir) {
    std::vector<std::filesystem::path> folders{programDir};
    std::vector<std::filesystem::path> data{os::UserDataDir()};
    for (std::filesystem::path& dir : os::SystemDataDirs()) data.push_back(std::move(dir));
    for (const std::filesystem::path& dir : data) {
        if (dir.empty()) continue;
        std::filesystem::path folder = dir / "kq7300";
        // A trailing separator or a "." makes no other folder.
        const auto same = [&](const std::filesystem::path& known) {
            return (known / "").lexically_normal() == (folder / "").lexically_normal();
        };
        if (std::none_of(folders.begin(), folders.end(), same)) folders.push_back(folder);
    }
    return folders;
}

std::vector<std::filesystem::path> LoaderCandidates(const std::filesystem::path& programDir) {
    std::vector<std::filesystem::path> candidates;
    for (const std::filesystem::path& folder : LoaderFolders(programDir)) {
        candidates.push_back(folder / "usbloader.bin");
        candidates.push_back(folder / "usbloader.enc");
    }
    return candidates;
}

std::filesystem::path ProgramDirectory() {
    const std::string exe = os::ExecutablePath();
    return exe.empty() ? std::filesystem::path() : os::PathFromUtf8(exe).parent_path();
}

ImageLoadResult LoadUpgradeImages(const std::string& firmwareName,
                                  const std::vector<std::filesystem::path>& loaderCandidates,
                                  UpgradeImages& images) {
    ImageLoadResult result;
    if (firmwareName.empty()) {
        result.check = ImageCheck::NoFileName;
        return result;
    }
    result.path = firmwareName;
    std::vector<uint8_t> firmware;
    result.check =
        ReadImage(OpenImage(PathFromUtf8(firmwareName)), kMaxFirmwareLength,
                  ImageCheck::FirmwareUnreadable, ImageCheck::FirmwareSize, result, firmware);
    if (result.check != ImageCheck::Ok) return result;

    std::optional<OpenedImage> loaderFile;
    for (const auto& candidate : loaderCandidates) {
        result.path = candidate.string();
        loaderFile = OpenImage(candidate);
        if (loaderFile) break;
    }
    std::vector<uint8_t> loader;
    result.check = ReadImage(loaderFile, kMaxLoaderLength, ImageCheck::LoaderUnreadable,
                             ImageCheck::LoaderSize, result, loader);
    if (result.check != ImageCheck::Ok) return result;
    images.firmware = std::move(firmware);
    images.loader = std::move(loader);
    return result;
}

}  // namespace kq
