#include "tests/support/dialog_fixture.h"

#include <fstream>
#include <random>
#include <sstream>

#include "os/os.h"

namespace kq::test {
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
System.Phase.WaitingForLoader=Waiting, try %1 of %2.
System.Phase.Checking=Checking, try %1 of %2.
System.LastUpgrade=Last: %1, %2, %3
System.LanguageAfterRestart=After the restart.
WarningGeneral.EngineChanged=Now %1 at %2.
WarningGeneral.PageTitle=%1 — %2
WarningSystem.ConfirmEngine=Engine %1, id %2
WarningSystem.ConfirmPlace=At %1
WarningSystem.ConfirmFile=File %1, %2 bytes
WarningSystem.ConfirmSha256=SHA %1
WarningSystem.ConfirmTime=Time %1
WarningSystem.ConfirmLong=Takes %1 minutes, blocks of %2 bytes.
WarningSystem.Seconds=%1 s
WarningSystem.Minutes=%1 min %2 s
WarningSystem.BackupSaved=Backup: %1
WarningSystem.BackupResumed=Backup of the first: %1
WarningSystem.HistoryFailed=No history: %1
WarningSystem.FirmwareUnreadable=Cannot read %1.
WarningSystem.FirmwareSize=%1 holds %2 bytes, at most %3.
WarningSystem.LoaderSize=Loader %1 holds %2 bytes, at most %3.
WarningSystem.NoLoader=No loader in %1
About.Version=Tool %1
About.Title=About
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
About.Title=关于
)";

std::filesystem::path FreshFolder() {
    std::random_device random;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100 && !ec; ++attempt) {
        const auto candidate = base / ("kq-dialogs-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate, ec)) return candidate;
    }
    ADD_FAILURE() << "no temporary folder";
    return base;
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return {utf8.begin(), utf8.end()};
}

}  // namespace

void HookedSleeper::SleepFor(std::chrono::microseconds duration) {
    counting_.SleepFor(duration);
    std::function<void(int)> hook;
    int n = 0;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
        n = ++waits_;
    }
    if (hook) hook(n);
}

void HookedSleeper::SetHook(std::function<void(int)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
    waits_ = 0;
}

void Gate::Wait() {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
}

bool Gate::WaitEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_; });
}

void Gate::Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

TestUiThread::TestUiThread(UiQueue* queue) : queue_(queue ? *queue : own_) {
    queue_.SetWake([this] {
        std::lock_guard lock(mutex_);
        wake_ = true;
        woken_.notify_all();
    });
}

bool TestUiThread::RunUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        queue_.RunPending();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!woken_.wait_until(lock, deadline, [this] { return wake_; })) return done();
        wake_ = false;
    }
}

DialogWorld::DialogWorld()
    : dir_(FreshFolder()),
      settings_(Utf8Of(dir_) + os::kSeparator, locale_),
      context_{link_,
               settings_,
               flags_,
               processes_,
               "/opt/kq7300/kq7300tool",
               {"--virtual-engine", "--trace", "/tmp/t"}} {
    std::filesystem::create_directory(dir_ / "Language");
    WriteFile("Language/English.lang", kEnglish);
    WriteFile("Language/SimpChinese.lang", kChinese);
    UseLanguage("English");
}

DialogWorld::~DialogWorld() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string DialogWorld::ProgramDir() const {
    return Utf8Of(dir_) + os::kSeparator;
}

void DialogWorld::UseLanguage(const std::string& name) {
    settings_.CurrentLanguageFile = ProgramDir() + "Language" + os::kSeparator + name + ".lang";
}

void DialogWorld::WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
}

std::string DialogWorld::WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    WriteFile(name, std::string(bytes.begin(), bytes.end()));
    return ProgramDir() + name;
}

void DialogWorld::WriteConfig(const std::string& text) {
    WriteFile("Config.ini", text);
}

std::string DialogWorld::ReadConfig() const {
    std::ifstream in(dir_ / "Config.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<VirtualEngine> DialogWorld::Plug(const std::string& engineSettings) {
    std::string error;
    const auto parsed = ParseEngineSettings(engineSettings, &error);
    EXPECT_TRUE(parsed) << error;
    return bus_.Plug(parsed ? *parsed : EngineSettings{});
}

std::shared_ptr<VirtualEngine> DialogWorld::Attach(const std::string& engineSettings) {
    engine_ = Plug(engineSettings);
    EXPECT_TRUE(link_.FindDevice());
    link_.DevicePresent = 1;
    seenFrames_ = 0;
    return engine_;
}

std::vector<Bytes> DialogWorld::NewPayloads() {
    std::vector<Bytes> out;
    if (!engine_) return out;
    const auto frames = engine_->frames();
    for (size_t i = seenFrames_; i < frames.size(); ++i) {
        const auto& f = frames[i];
        out.emplace_back(f.begin() + 2, f.end() - 2);
    }
    seenFrames_ = frames.size();
    return out;
}

void DialogWorld::HoldWorker(LinkWorker& worker, Gate& gate) {
    worker.Run(
        holder_.Watch(),
        [&gate](DeviceLink&) {
            gate.Wait();
            return 0;
        },
        [](int) {});
    ASSERT_TRUE(gate.WaitEntered());
}

std::vector<uint8_t> Image(size_t size, uint8_t seed) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return image;
}

}  // namespace kq::test
