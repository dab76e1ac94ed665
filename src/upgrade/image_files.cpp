#include "upgrade/image_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace kq {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct OpenedImage {
    File file;
    uint64_t length = 0;
};

// The only system calls of this file. Only regular files count as openable: a folder or a device
// cannot hold an image. The type is judged on a descriptor opened without waiting, because a
// plain open of a FIFO blocks until a writer comes.
std::optional<OpenedImage> OpenImage(const std::filesystem::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    File file(fdopen(fd, "rb"));
    if (!file) {
        close(fd);
        return std::nullopt;
    }
    return OpenedImage{std::move(file), static_cast<uint64_t>(info.st_size)};
}

// Tests the length of an opened image against the limit and reads the whole file.
ImageCheck ReadImage(const std::optional<OpenedImage>& image, uint32_t maxLength,
                     ImageCheck unreadable, ImageCheck badSize, ImageLoadResult& result,
                     std::vector<uint8_t>& out) {
    if (!image) return unreadable;
    result.size = image->length;
    if (image->length == 0 || image->length > maxLength) return badSize;
    out.resize(image->length);
    return std::fread(out.data(), 1, out.size(), image->file.get()) == out.size() ? ImageCheck::Ok
                                                                                  : unreadable;
}

}  // namespace

const char* ImageCheckMessageKey(ImageCheck check) {
    switch (check) {
        case ImageCheck::Ok:
            return nullptr;
        case ImageCheck::NoFileName:
            return "WarningSystem.InvalidFileName";
        case ImageCheck::FirmwareUnreadable:
        case ImageCheck::FirmwareSize:
        case ImageCheck::LoaderUnreadable:
        case ImageCheck::LoaderSize:
            return "WarningSystem.FirmWareUpgrateFail";
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
    result.check =
        ReadImage(OpenImage(firmwareName), kMaxFirmwareLength, ImageCheck::FirmwareUnreadable,
                  ImageCheck::FirmwareSize, result, firmware);
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
