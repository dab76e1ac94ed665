#include "upgrade/image_files.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// The only system calls of this file, with ProgramDirectory. Only regular files count as
// openable: a folder or a device cannot hold an image.
#ifdef _WIN32
// Opened by the wide name Windows keeps. A pipe or a device opens without waiting; what is not a
// file on a disk is refused before anything is read from it.
std::optional<OpenedImage> OpenImage(const std::filesystem::path& path) {
    File file(_wfopen(path.c_str(), L"rb"));
    if (!file) return std::nullopt;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        return std::nullopt;
    }
    return OpenedImage{std::move(file), static_cast<uint64_t>(size.QuadPart)};
}
#else
// The type is judged on a descriptor opened without waiting, because a plain open of a FIFO
// blocks until a writer comes.
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
#endif

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
#ifdef _WIN32
    std::wstring exe(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
        if (n == 0) return {};
        if (n < exe.size()) {
            exe.resize(n);
            return std::filesystem::path(exe).parent_path();
        }
        exe.resize(exe.size() * 2);  // cut short: a longer name than MAX_PATH
    }
#else
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
#endif
}

std::filesystem::path PathFromUtf8(std::string_view name) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t*>(name.data()), name.size()));
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
