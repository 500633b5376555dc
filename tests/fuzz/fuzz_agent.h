// What the agent's fuzz targets share: reading the input front to back, a fresh agent on the
// fake platform, and invariant checks that stop the run with a readable reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/agent_state.h"
#include "tests/fake/fake_platform.h"

namespace fuzz {

// Takes bytes from the front of the input; past its end every read gives zeros (or nothing),
// so short inputs still decode to something.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
    uint16_t U16() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    std::string Bytes(size_t count) {
        size_t n = count < Left() ? count : Left();
        std::string out(reinterpret_cast<const char*>(data_ + used_), n);
        used_ += n;
        return out;
    }
    std::string Rest() { return Bytes(Left()); }
    size_t Left() const { return size_ - used_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// A fresh world and agent as after the start-up's first steps (key loaded, buffers allocated,
// windows created, icons loaded). With `key2048` the server key has 2048 bits: blockSize 256 and
// a request fills ioBuffer exactly, so a write past a reply's room is an overflow ASan sees.
void StartAgent(bool key2048);

// Aborts with `what` when `ok` is false; libFuzzer then saves the input as a crash.
void Check(bool ok, const char* what);
void Check(bool ok, const std::string& what);

// Tray calls from index `from` on carry tooltips of at most 63 characters.
void CheckTrayTips(size_t from);
// Invariants of the state record that hold between any two events.
void CheckAgentState();

// The text of a control, or "" when none was ever set.
std::string ItemText(fake::PlatWindow window, int id);

}  // namespace fuzz
