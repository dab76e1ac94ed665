#include "upgrade/image_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace kq {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Only regular files count as openable: a folder or a device cannot hold an image.
File OpenImage(const std::filesystem::path& path) {
    File file(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (file && (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode))) file.reset();
    return file;
}

std::optional<uint64_t> Length(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

// Takes the length of an opened image, tests it against the limit and reads the whole file.
ImageCheck ReadImage(std::FILE* file, uint32_t maxLength, ImageCheck unreadable,
                     ImageCheck badSize, ImageLoadResult& result, std::vector<uint8_t>& out) {
    const auto length = file ? Length(file) : std::nullopt;
    if (!length) return unreadable;
    result.size = *length;
    if (*length == 0 || *length > maxLength) return badSize;
    out.resize(*length);
    return std::fread(out.data(), 1, out.size(), file) == out.size() ? ImageCheck::Ok : unreadable;
}

}  // namespace

const char* ImageCheckMessageKey(ImageCheck check) {
    switch (check) {
        case ImageCheck::Ok: return nullptr;
        case ImageCheck::NoFileName: return "WarningSystem.InvalidFileName";
        case ImageCheck::FirmwareUnreadable:
        case ImageCheck::FirmwareSize:
        case ImageCheck::LoaderUnreadable:
        case ImageCheck::LoaderSize: return "WarningSystem.FirmWareUpgrateFail";
    }
    return nullptr;
}

std::vector<std::filesystem::path> LoaderCandidates(const std::filesystem::path& programDir) {
    return {programDir / "usbloader.bin", programDir / "usbloader.enc"};
}

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
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
    result.check = ReadImage(OpenImage(firmwareName).get(), kMaxFirmwareLength,
                             ImageCheck::FirmwareUnreadable, ImageCheck::FirmwareSize, result,
                             firmware);
    if (result.check != ImageCheck::Ok) return result;

    File loaderFile;
    for (const auto& candidate : loaderCandidates) {
        result.path = candidate.string();
        loaderFile = OpenImage(candidate);
        if (loaderFile) break;
    }
    std::vector<uint8_t> loader;
    result.check = ReadImage(loaderFile.get(), kMaxLoaderLength, ImageCheck::LoaderUnreadable,
                             ImageCheck::LoaderSize, result, loader);
    if (result.check != ImageCheck::Ok) return result;
    images.firmware = std::move(firmware);
    images.loader = std::move(loader);
    return result;
}

}  // namespace kq
