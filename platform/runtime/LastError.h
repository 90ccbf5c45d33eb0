// The thread's last error value, set by the platform layer the way the calling code expects of
// a failed platform call (a false or null result plus an error number to read back).
#pragma once

#include <cstdint>

uint32_t GetLastError();
void SetLastError(uint32_t error);

// Keeps the last error across a scope (tracing must never change it).
class LastErrorKeeper {
  public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

  private:
    uint32_t saved_;
};
