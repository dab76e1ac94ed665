#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "devlink/platform.h"

namespace kq::test {

// A platform whose interface list and answers are written by the test: the place to put
// corrupted answers, odd paths and failing properties in front of the real link code.
class ScriptedPlatform final : public DevicePlatform {
  public:
    struct Entry {
        std::string path;
        bool detailOk = true;
        std::optional<DeviceProperty> failingProperty;
        OpenError openError = OpenError::None;
        Guid cls = EngineInterfaceClass;
        std::string serial{};
        std::string place{};
    };
    struct Op {
        std::thread::id thread;
        bool write;
        std::string pipePath;
        std::vector<uint8_t> bytes;
        int timeoutMs = 0;
    };

    std::vector<Entry> entries;
    std::deque<std::vector<uint8_t>> answers;  // one per read on PIPE1; empty = nothing came
    std::vector<std::string> flushes;          // pipe paths, in order
    bool failWrites = false;                   // writes open their pipe but move nothing

    std::vector<Op> ops() {
        std::lock_guard lock(mutex_);
        return ops_;
    }
    std::vector<std::vector<uint8_t>> written() {
        std::vector<std::vector<uint8_t>> out;
        for (const Op& op : ops()) {
            if (op.write) out.push_back(op.bytes);
        }
        return out;
    }

    std::vector<InterfaceEntry> ListInterfaces(const Guid& cls) override {
        std::vector<InterfaceEntry> out;
        for (const Entry& e : entries) {
            if (e.cls == cls) out.push_back({e.path, e.detailOk, e.serial, "", e.place});
        }
        return out;
    }
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override {
        const Entry* e = Find(entry.path);
        if (!e || e->failingProperty == property) return std::nullopt;
        return "value";
    }
    OpenResult TestOpen(const InterfaceEntry& entry) override {
        const Entry* e = Find(entry.path);
        if (!e) return {OpenError::Absent, "gone"};
        return {e->openError, e->openError == OpenError::None ? "" : "scripted"};
    }
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;

    void Record(Op op) {
        std::lock_guard lock(mutex_);
        ops_.push_back(std::move(op));
    }
    std::vector<uint8_t> NextAnswer() {
        std::lock_guard lock(mutex_);
        if (answers.empty()) return {};
        auto a = std::move(answers.front());
        answers.pop_front();
        return a;
    }

  private:
    const Entry* Find(const std::string& path) const {
        for (const Entry& e : entries) {
            if (e.path == path) return &e;
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::vector<Op> ops_;
};

class ScriptedPipe final : public PipeHandle {
  public:
    ScriptedPipe(ScriptedPlatform& platform, std::string path)
        : platform_(platform), path_(std::move(path)) {}
    int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) override {
        platform_.Record(
            {std::this_thread::get_id(), true, path_, {data, data + count}, timeoutMs});
        return platform_.failWrites ? 0 : static_cast<int32_t>(count);
    }
    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        auto answer = platform_.NextAnswer();
        if (answer.size() > count) answer.resize(count);
        std::copy(answer.begin(), answer.end(), data);
        platform_.Record({std::this_thread::get_id(), false, path_, answer, timeoutMs});
        return static_cast<int32_t>(answer.size());
    }

    void Flush() override { platform_.flushes.push_back(path_); }

  private:
    ScriptedPlatform& platform_;
    std::string path_;
};

inline std::unique_ptr<PipeHandle> ScriptedPlatform::OpenPipe(std::string_view pipePath,
                                                              OpenResult* why) {
    const std::string device(pipePath.substr(0, pipePath.rfind('\\')));
    if (!Find(device)) {
        if (why) *why = {OpenError::Absent, "no such path"};
        return nullptr;
    }
    return std::make_unique<ScriptedPipe>(*this, std::string(pipePath));
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

}  // namespace kq::test
