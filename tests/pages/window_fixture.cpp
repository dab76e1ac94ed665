#include "window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QThread>
#include <fstream>
#include <sstream>

namespace kq::testing {
namespace {

constexpr const char* kEnglish = R"([String]
Tab.Led=LED
Tab.Flip=Flip
Tab.System=System
WarningGeneral.DeviceConnect=Connected
WarningGeneral.DeviceDisconnect=Disconnected
WarningGeneral.ProductId=Product ID: %1
WarningGeneral.DeviceSilent=Not answering
WarningGeneral.DeviceInLoader=In its loader
WarningGeneral.DeviceNoPermission=No permission
WarningGeneral.NoPermission=Install the udev rule, then plug the engine in again.
ConfigGeneral.English=English
ConfigGeneral.SimpChinese=Simplified Chinese
Led.On=Switch on
Led.Off=Switch off
Led.Write=Ver.2
WarningUart.Title=Communication
WarningUart.CommunicationFail=The engine did not answer.
WarningUart.ReadFail=The engine reported an impossible current.
WarningUart.InLoader=The engine is in its loader: run the upgrade.
Prompt.Title=Invalid input
Prompt.InvalidNumber=Enter a whole number.
Prompt.Range=Enter a number from %1 to %2.
System.FilterBin=Binary files
)";

constexpr const char* kChinese = R"([String]
Tab.Led=灯光
Tab.Flip=翻转
Tab.System=系统
WarningGeneral.DeviceConnect=设备已连接
WarningGeneral.DeviceDisconnect=设备未连接
WarningGeneral.ProductId=产品 ID：%1
System.FilterBin=二进制文件
System.BrowseTitle=选择固件文件
)";

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

WindowTest::WindowTest()
    : settings_(dir_.path().toStdString() + "/", locale_),
      context_{link_,
               settings_,
               flags_,
               messages_,
               files_,
               processes_,
               "/opt/kq7300/kq7300tool",
               {"--virtual-engine", "--trace", "/tmp/t"}} {
    QDir(dir_.path()).mkdir("Language");
    WriteFile(ProgramDir() + "Language/English.lang", kEnglish);
    WriteFile(ProgramDir() + "Language/SimpChinese.lang", kChinese);
    UseLanguage("English");
}

void WindowTest::UseLanguage(const std::string& name) {
    settings_.CurrentLanguageFile = ProgramDir() + "Language/" + name + ".lang";
}

void WindowTest::WriteConfig(const std::string& text) {
    WriteFile(ProgramDir() + "Config.ini", text);
}

std::string WindowTest::ReadConfig() const {
    std::ifstream in(ProgramDir() + "Config.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<VirtualEngine> WindowTest::Attach(const std::string& engineSettings) {
    std::string error;
    const auto parsed = ParseEngineSettings(engineSettings, &error);
    EXPECT_TRUE(parsed) << error;
    engine_ = bus_.Plug(*parsed);
    EXPECT_TRUE(link_.FindDevice());
    link_.DevicePresent = 1;
    seenFrames_ = 0;
    return engine_;
}

std::vector<std::vector<uint8_t>> WindowTest::NewPayloads() {
    std::vector<std::vector<uint8_t>> out;
    if (!engine_) return out;
    const auto frames = engine_->frames();
    for (size_t i = seenFrames_; i < frames.size(); ++i) {
        const auto& f = frames[i];
        out.emplace_back(f.begin() + 2, f.end() - 2);
    }
    seenFrames_ = frames.size();
    return out;
}

bool WaitForWorker(LinkWorker& worker, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // A round of events first: a notice queued for the window may be about to post a request.
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!worker.busy()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QThread::msleep(1);
    }
}

QStringList WindowTest::MessageTexts() const {
    QStringList texts;
    for (const auto& m : messages_.shown) texts << m.text;
    return texts;
}

}  // namespace kq::testing

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
