#pragma once

// The engine's operations by name. Each is exactly one transaction on the link, so two threads
// (the window and the upgrade) never split a request from its answer; waits between operations
// (ReadBlock's pause, the upgrade's) are taken outside the lock.

#include <cstdint>
#include <functional>
#include <string>

#include "devlink/codec.h"
#include "devlink/link.h"

namespace kq {

// What a mode query tells beyond DeviceMode: a valid answer other than "APP" (the loader) is
// told apart from no valid answer at all.
enum class EngineState { None, Application, Loader, Silent };

// A cheap view over the link: make one where it is needed.
class CommandSet {
  public:
    explicit CommandSet(DeviceLink& link) : link_(link) {}

    DeviceLink& link() { return link_; }

    // Sends code and argLength argument bytes; when answerLength > 0, reads that many answer
    // bytes into answer. args may be null only when argLength is 0.
    bool Transact(uint8_t code, const uint8_t* args, uint32_t argLength, uint8_t* answer,
                  uint32_t answerLength, int timeoutMs);
    bool SetLedCurrent(uint8_t value);
    bool GetLedCurrent(uint8_t& out);  // out = 0 on failure
    bool SetLedSwitch(uint8_t on);     // sent unchanged: 1 on, 0 off
    bool SetPower(bool on);
    bool SetFlip(uint8_t x, uint8_t y);
    bool GetProductId(uint8_t* out);  // 8 bytes; byte 7 handed over modulo 12
    bool StartLoader();
    uint32_t GetBlockSize();  // 0 when none is available
    // Then pauses 20 ms, outside the transaction. afterRead, when given, is called once the
    // bytes are in out, before the pause, which it may use for work of its own (the pause is not
    // shortened for it).
    bool ReadBlock(uint32_t address, uint32_t length, uint8_t* out,
                   const std::function<void()>& afterRead = nullptr);
    // Writes, waits 60 ms, reads the block back and compares: one transaction.
    bool WriteBlockVerified(uint32_t address, uint32_t length, const uint8_t* data);
    bool FinishUpgrade();
    bool GetMode(uint8_t* out);  // 3 bytes
    // None without an engine (nothing sent), Application on "APP", Other on anything else,
    // including no answer.
    DeviceMode QueryDeviceMode();
    // None without an engine (nothing sent), Application on "APP", Loader on another valid answer,
    // Silent when no valid answer came.
    EngineState QueryEngineState();

    void DelayMicroseconds(uint32_t us);
    void DelayMilliseconds(uint32_t ms);  // reduced to 16 bits first

  private:
    DeviceLink& link_;
};

std::string FormatProductId(const uint8_t* id);  // "0A-1B-2C-3D-4E-5F"

}  // namespace kq
