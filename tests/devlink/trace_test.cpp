#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "devlink/commands.h"
#include "emulator/virtual_bus.h"

namespace kq {
namespace {

std::vector<std::string> Lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(WireTraceTest, RecordsFramesAnswersAndDiagnosticsOnly) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("kq-trace-" + std::to_string(::getpid()) + ".txt");
    std::filesystem::remove(file);
    // Removed once the link has closed it: Windows removes no open file.
    struct RemoveAtEnd {
        std::filesystem::path path;
        ~RemoveAtEnd() {
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
    } cleanup{file};
    CountingSleeper sleeper;
    VirtualBus bus(&sleeper);
    EngineSettings mute;
    mute.mode = EngineMode::Mute;
    mute.serial = "mute";
    bus.Plug();
    DeviceLink link(bus, &sleeper);
    CommandSet commands(link);
    ASSERT_TRUE(link.trace().Open(file.string()));
    ASSERT_TRUE(link.FindDevice());
    link.DevicePresent = 1;
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Application);
    link.setDevicePath(VirtualBus::EnginePath(*bus.Plug(mute)));
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    link.setDevicePath("");
    EXPECT_FALSE(commands.SetLedSwitch(1));

    const auto lines = Lines(file);
    std::vector<std::string> wire;
    for (const auto& line : lines) {
        ASSERT_TRUE(line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0 ||
                    line.rfind("# ", 0) == 0)
            << line;
        if (line[0] != '#') wire.push_back(line);
    }
    const std::vector<std::string> expected = {"> 05 00 FE 82 43", "< 07 00 41 50 50 E5 9A",
                                               "> 05 00 FE 82 43", "< -"};
    EXPECT_EQ(wire, expected);
    // A frame that never reached the engine is told apart from one on the wire.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("PIPE0 not opened"), std::string::npos);
    EXPECT_EQ(lines.back(), "# not sent: 06 00 02 01 74 06");
}

}  // namespace
}  // namespace kq
