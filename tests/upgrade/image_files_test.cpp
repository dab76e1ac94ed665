#include "upgrade/image_files.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>

#include "tests/support/env_guard.h"
#include "tests/support/upgrade_fixture.h"

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

    // The data folders too are the test's own, empty until it fills them.
    void SetUp() override {
        env.Set("XDG_DATA_HOME", (dir / "home").string());
        env.Set("XDG_DATA_DIRS", (dir / "local").string() + ":" + (dir / "system").string());
        env.Set("LOCALAPPDATA", (dir / "home").string());
    }

    TempFolder temp;
    const fs::path& dir = temp.path;
    UpgradeImages images;
    kq::test::EnvGuard env;
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

#ifdef _WIN32
TEST_F(ImageFilesTest, LoaderFoldersAreBesideTheProgramThenLocalAppData) {
    EXPECT_EQ(LoaderFolders(dir / "program"),
              (std::vector<fs::path>{dir / "program", dir / "home" / "kq7300"}));
}
#else
// Beside the program, then the user's data folder, then the system's, in XDG's order; a folder
// named twice is searched once.
TEST_F(ImageFilesTest, LoaderFoldersFollowTheXdgDataFolders) {
    using Folders = std::vector<fs::path>;
    const fs::path program = dir / "program";
    EXPECT_EQ(LoaderFolders(program),
              (Folders{program, dir / "home/kq7300", dir / "local/kq7300", dir / "system/kq7300"}));
    env.Set("XDG_DATA_HOME", std::nullopt);
    env.Set("HOME", "/home/u");
    env.Set("XDG_DATA_DIRS", std::nullopt);
    EXPECT_EQ(LoaderFolders("/usr/lib/kq7300"),
              (Folders{"/usr/lib/kq7300", "/home/u/.local/share/kq7300", "/usr/local/share/kq7300",
                       "/usr/share/kq7300"}));
    env.Set("XDG_DATA_DIRS", "/usr/share/:/usr/share:/usr/lib/");
    EXPECT_EQ(LoaderFolders("/usr/lib/kq7300/"),
              (Folders{"/usr/lib/kq7300/", "/home/u/.local/share/kq7300", "/usr/share/kq7300"}));
}
#endif

// In each folder usbloader.bin before usbloader.enc; the first folder that holds one wins.
TEST_F(ImageFilesTest, LoaderIsTheFirstFoundInFolderOrder) {
    const std::string firmware = Write("fw.bin", 100);
#ifdef _WIN32
    const std::vector<fs::path> folders{dir / "home" / "kq7300"};
#else
    const std::vector<fs::path> folders{dir / "system" / "kq7300", dir / "local" / "kq7300",
                                        dir / "home" / "kq7300"};
#endif
    char fill = 'a';
    for (const fs::path& folder : folders) {
        fs::create_directories(folder);
        std::ofstream(folder / "usbloader.enc", std::ios::binary) << std::string(5, fill);
        ImageLoadResult result = Load(firmware);
        EXPECT_EQ(result.path, (folder / "usbloader.enc").string());
        EXPECT_EQ(images.loader, std::vector<uint8_t>(5, fill));
        ++fill;
        std::ofstream(folder / "usbloader.bin", std::ios::binary) << std::string(6, fill);
        result = Load(firmware);
        EXPECT_EQ(result.path, (folder / "usbloader.bin").string());
        EXPECT_EQ(images.loader, std::vector<uint8_t>(6, fill));
        ++fill;
    }
    Write("usbloader.enc", 7, 'p');
    EXPECT_EQ(Load(firmware).path, (dir / "usbloader.enc").string());
}

// The window's message for a missing loader says where it is looked for.
TEST_F(ImageFilesTest, MissingLoaderHasAMessageOfItsOwn) {
    const std::string firmware = Write("fw.bin", 100);
    const ImageLoadResult result = Load(firmware);
    EXPECT_EQ(result.check, ImageCheck::LoaderUnreadable);
    EXPECT_STREQ(ImageCheckMessageKey(result.check), "WarningSystem.NoLoader");
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
