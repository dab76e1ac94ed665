#include "upgrade/image_files.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>

#include "tests/upgrade/upgrade_fixture.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

class ImageFilesTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, size_t size, char fill = 'x') {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << std::string(size, fill);
        return path.string();
    }

    ImageLoadResult Load(const std::string& firmware) {
        return LoadUpgradeImages(firmware, LoaderCandidates(dir), images);
    }

    TempDir temp;
    const fs::path& dir = temp.path;
    UpgradeImages images;
};

TEST_F(ImageFilesTest, SizeLimitsOfBothImages) {
    struct Case {
        size_t firmware;
        size_t loader;
        ImageCheck check;
    };
    for (const Case c :
         {Case{129024, 10240, ImageCheck::Ok}, Case{1, 1, ImageCheck::Ok},
          Case{129025, 10240, ImageCheck::FirmwareSize}, Case{0, 10240, ImageCheck::FirmwareSize},
          Case{129024, 10241, ImageCheck::LoaderSize}, Case{129024, 0, ImageCheck::LoaderSize}}) {
        SCOPED_TRACE(std::to_string(c.firmware) + " / " + std::to_string(c.loader));
        images = {};
        const std::string firmware = Write("fw.enc", c.firmware);
        Write("usbloader.bin", c.loader);
        const ImageLoadResult result = Load(firmware);
        EXPECT_EQ(result.check, c.check);
        if (c.check == ImageCheck::Ok) {
            EXPECT_EQ(images.firmware.size(), c.firmware);
            EXPECT_EQ(images.loader.size(), c.loader);
        } else {
            EXPECT_TRUE(images.firmware.empty() && images.loader.empty());
            EXPECT_STREQ(ImageCheckMessageKey(result.check), "WarningSystem.FirmWareUpgrateFail");
        }
    }
}

TEST_F(ImageFilesTest, EmptyNameIsJudgedBeforeAnyFile) {
    const ImageLoadResult result = Load("");
    EXPECT_EQ(result.check, ImageCheck::NoFileName);
    EXPECT_STREQ(ImageCheckMessageKey(result.check), "WarningSystem.InvalidFileName");
}

TEST_F(ImageFilesTest, UnopenableFirmware) {
    Write("usbloader.bin", 100);
    EXPECT_EQ(Load((dir / "missing.bin").string()).check, ImageCheck::FirmwareUnreadable);
    EXPECT_EQ(Load(dir.string()).check, ImageCheck::FirmwareUnreadable);
}

TEST_F(ImageFilesTest, LoaderBinIsPreferredToEnc) {
    const std::string firmware = Write("fw.bin", 100);
    EXPECT_EQ(Load(firmware).check, ImageCheck::LoaderUnreadable);

    Write("usbloader.enc", 20, 'e');
    ImageLoadResult result = Load(firmware);
    EXPECT_EQ(result.check, ImageCheck::Ok);
    EXPECT_EQ(result.path, (dir / "usbloader.enc").string());
    EXPECT_EQ(images.loader, std::vector<uint8_t>(20, 'e'));

    Write("usbloader.bin", 10, 'b');
    result = Load(firmware);
    EXPECT_EQ(result.path, (dir / "usbloader.bin").string());
    EXPECT_EQ(images.loader, std::vector<uint8_t>(10, 'b'));
}

// An unusable usbloader.bin is not passed over for usbloader.enc: only one that cannot be opened.
TEST_F(ImageFilesTest, EmptyLoaderBinIsNotReplacedByEnc) {
    const std::string firmware = Write("fw.bin", 100);
    Write("usbloader.bin", 0);
    Write("usbloader.enc", 20);
    EXPECT_EQ(Load(firmware).check, ImageCheck::LoaderSize);
}

// Names are UTF-8 on every system, also where the system's own narrow names are not.
TEST_F(ImageFilesTest, NamesAreUtf8) {
    const fs::path firmware = dir / PathFromUtf8("固件 é.bin");
    std::ofstream(firmware, std::ios::binary) << std::string(100, 'f');
    Write("usbloader.bin", 10);
    const std::u8string name = firmware.u8string();
    const ImageLoadResult result = Load(std::string(name.begin(), name.end()));
    EXPECT_EQ(result.check, ImageCheck::Ok);
    EXPECT_EQ(images.firmware, std::vector<uint8_t>(100, 'f'));
}

TEST(ProgramDirectory, HoldsTheRunningProgram) {
    const fs::path dir = ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
}

#ifdef _WIN32
// A pipe's name opens at once while its server waits, and a device's (NUL) at any time; neither
// is a file. Reading them could wait for ever or never end.
TEST_F(ImageFilesTest, PipesAndDevicesAreRefused) {
    const std::wstring pipe = L"\\\\.\\pipe\\kq-image-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 4,
                                           4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const std::u8string pipeName = fs::path(pipe).u8string();
    const std::string image = Write("fw.bin", 100);
    Write("usbloader.bin", 10);
    EXPECT_EQ(Load(std::string(pipeName.begin(), pipeName.end())).check,
              ImageCheck::FirmwareUnreadable);
    EXPECT_EQ(LoadUpgradeImages(image, {fs::path(pipe)}, images).check,
              ImageCheck::LoaderUnreadable);
    EXPECT_EQ(Load("NUL").check, ImageCheck::FirmwareUnreadable);
    CloseHandle(server);
}
#endif

}  // namespace
}  // namespace kq::test
