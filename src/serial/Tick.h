#pragma once
#include <cstdint>

namespace kelvane {

// Monotonic millisecond tick, kept as unsigned 32 bits: differences taken in
// unsigned arithmetic stay right across the wrap, as the silence limits expect.
uint32_t GetTickMs();

// Tests move the tick forward to expire a silence limit without sleeping
// through it. Only ever moves forward; affects every later GetTickMs().
void AdvanceTickForTest(uint32_t ms);

// Sleeps at least ms milliseconds (retried when a signal cuts the sleep short).
void SleepMs(uint32_t ms);

}  // namespace kelvane
