#include "upgrade/image_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
    for (const Case c : {Case{129024, 10240, ImageCheck::Ok}, Case{1, 1, ImageCheck::Ok},
                         Case{129025, 10240, ImageCheck::FirmwareSize},
                         Case{0, 10240, ImageCheck::FirmwareSize},
                         Case{129024, 10241, ImageCheck::LoaderSize},
                         Case{129024, 0, ImageCheck::LoaderSize}}) {
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

}  // namespace
}  // namespace kq::test
