#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devlink/link.h"
#include "dialogs/context.h"
#include "dialogs/link_worker.h"
#include "dialogs/task_queue.h"
#include "dialogs/views.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"

namespace kq::test {

using Bytes = std::vector<uint8_t>;

struct FixedLocale final : LocaleSource {
    unsigned SystemDefaultLanguage() const override { return language; }
    unsigned language = kLangEnglish;
};

struct FakeProcessStarter final : ProcessStarter {
    bool StartDetached(const std::string& p, const std::vector<std::string>& a) override {
        program = p;
        arguments = a;
        ++starts;
        return startSucceeds;
    }
    void ExitNow(int code) override { exitCode = code; }
    bool startSucceeds = true;
    int starts = 0;
    std::string program;
    std::vector<std::string> arguments;
    std::optional<int> exitCode;
};

// Holds a thread in Wait() until the test lets it go on.
class Gate {
  public:
    void Wait();
    bool WaitEntered();
    void Open();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

// Holds the upgrade in its first long wait (after StartLoader) until the test lets it go on.
class GateSleeper final : public Sleeper, public Gate {
  public:
    void SleepFor(std::chrono::microseconds) override { Wait(); }
};

// Adds up the time asked for and returns at once, as CountingSleeper does; a hook set by a test
// runs after each wait, on the waiting thread (to stop an upgrade in a block's pause).
class HookedSleeper final : public Sleeper {
  public:
    void SleepFor(std::chrono::microseconds duration) override;
    std::chrono::microseconds total() const { return counting_.total(); }
    // hook(n) after the n-th wait from now on, n from 1; an empty hook ends that.
    void SetHook(std::function<void(int n)> hook);

  private:
    CountingSleeper counting_;
    std::mutex mutex_;
    std::function<void(int)> hook_;
    int waits_ = 0;
};

// The test's own thread as the UI thread: the queue's wake is a condition the thread waits on.
// The queue is its own, or one that outlives it (a main window's).
class TestUiThread {
  public:
    explicit TestUiThread(UiQueue* queue = nullptr);
    // Runs posted tasks as they come until done() holds; false when limit passed first.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::seconds limit = std::chrono::seconds(20));
    UiQueue& queue() { return queue_; }

  private:
    UiQueue own_;
    UiQueue& queue_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
};

// A program folder with small language files, a virtual bus, the link and the settings: what
// every window needs, whatever its toolkit.
class DialogWorld : public ::testing::Test {
  protected:
    DialogWorld();
    ~DialogWorld() override;

    // The folder with one trailing separator.
    std::string ProgramDir() const;
    void WriteConfig(const std::string& text);
    std::string ReadConfig() const;
    void WriteFile(const std::string& name, const std::string& bytes);
    // The file's path.
    std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes);
    void UseLanguage(const std::string& name);

    // Plugs an engine in and lets the link find it, as the main window's device check does.
    std::shared_ptr<VirtualEngine> Attach(const std::string& engineSettings = "");
    std::shared_ptr<VirtualEngine> Plug(const std::string& engineSettings = "");
    // Command payloads the engine has received since the last call.
    std::vector<Bytes> NewPayloads();
    // Keeps worker busy with a request of the test's own until gate opens.
    void HoldWorker(LinkWorker& worker, Gate& gate);

    std::filesystem::path dir_;
    HookedSleeper sleeper_;
    VirtualBus bus_{&sleeper_};
    DeviceLink link_{bus_, &sleeper_};
    std::shared_ptr<VirtualEngine> engine_;
    size_t seenFrames_ = 0;
    FixedLocale locale_;
    Settings settings_;
    PageFlags flags_;
    FakeProcessStarter processes_;
    PageContext context_;
    Liveness holder_;  // the receiver of HoldWorker's request
};

// An image that differs from block to block.
std::vector<uint8_t> Image(size_t size, uint8_t seed);

// One control of a fake view, as the logic left it.
struct FakeControl {
    std::string text;
    std::string key;  // the language key given last (SetTextKey)
    bool enabled = true;
    bool checked = false;
    int low = 0, high = 0, position = 0;
    std::vector<std::string> items;
    int selection = -1;
    int image = 0;  // the bitmap given by SetButtonImage
};

// Records what the logic shows and answers what it asks, with no toolkit. Edit boxes report
// their changes as a toolkit does, through onChange.
template <class Base>
class FakeControls : public Base {
  public:
    explicit FakeControls(const Settings& settings) : settings_(settings) {}

    void TranslateWindow() override { ++translations; }
    void SetTextKey(int id, std::string_view key) override {
        controls[id].key = key;
        controls[id].text = settings_.Translate(key);
    }
    void SetText(int id, const std::string& text) override {
        const bool changed = controls[id].text != text;
        controls[id].text = text;
        if (changed && onChange) onChange(id);
    }
    std::string GetText(int id) const override { return Get(id).text; }
    void SetEnabled(int id, bool enabled) override { controls[id].enabled = enabled; }
    void SetChecked(int id, bool checked) override { controls[id].checked = checked; }
    bool IsChecked(int id) const override { return Get(id).checked; }
    void SetRange(int id, int low, int high) override {
        controls[id].low = low;
        controls[id].high = high;
    }
    void SetPosition(int id, int position) override { controls[id].position = position; }
    int GetPosition(int id) const override { return Get(id).position; }
    void AddItem(int id, const std::string& text) override { controls[id].items.push_back(text); }
    void SetSelection(int id, int index) override { controls[id].selection = index; }
    int GetSelection(int id) const override { return Get(id).selection; }
    void SetFocus(int id) override { focus = id; }
    void SelectText(int id) override {
        focus = id;
        ++selections;
    }
    void ShowMessage(const Message& message) override {
        messages.push_back(message);
        if (whileShown) whileShown();
    }
    // The box stays "open" while whileAsked runs: the question's text may change meanwhile.
    Answer Ask(const Question& question) override {
        questions.push_back(question);
        if (question.whileOpen) question.whileOpen(&openQuestion);
        if (whileAsked) whileAsked();
        if (question.whileOpen) question.whileOpen(nullptr);
        return answer;
    }
    std::optional<std::string> ChooseFile(const FileChoice& choice) override {
        fileChoices.push_back(choice);
        return fileAnswer;
    }
    void EndDialog(bool accepted) override { ended = accepted; }

    // The user types into a box, ticks a box, moves a slider, picks an item.
    void Type(int id, const std::string& text) { SetText(id, text); }
    void Tick(int id) { controls[id].checked = !controls[id].checked; }
    void Pick(int id, int index) { controls[id].selection = index; }

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const Message& m : messages) texts.push_back(m.text);
        return texts;
    }
    const FakeControl& Get(int id) const {
        static const FakeControl none;
        const auto it = controls.find(id);
        return it == controls.end() ? none : it->second;
    }

    std::map<int, FakeControl> controls;
    std::function<void(int id)> onChange;
    std::function<void()> whileShown;  // runs as if the box were still open
    std::vector<Message> messages;
    std::vector<Question> questions;
    Answer answer = Answer::Accept;
    std::function<void()> whileAsked;  // runs as if the question were still open
    struct OpenBox final : OpenQuestion {
        void SetText(const std::string& text) override { texts.push_back(text); }
        std::vector<std::string> texts;  // what the open question was changed to, in order
    } openQuestion;
    std::vector<FileChoice> fileChoices;
    std::optional<std::string> fileAnswer;
    std::optional<bool> ended;
    int translations = 0;
    int focus = 0;
    int selections = 0;

  private:
    const Settings& settings_;
};

using FakeView = FakeControls<DialogView>;

// A world whose UI thread is the test's own, with the windows' link worker.
class DialogTest : public DialogWorld {
  protected:
    // Lets the worker's results arrive until it has none outstanding.
    void Settle() {
        EXPECT_TRUE(ui_.RunUntil([this] { return !worker_.busy(); }));
    }

    TestUiThread ui_;
    LinkWorker worker_{link_, ui_.queue()};
};

}  // namespace kq::test
