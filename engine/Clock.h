// Pauses of the engine's workers, replaceable so that tests need not wait in real time.
#pragma once

namespace hostmoor {

using SleepFunction = void (*)(int milliseconds);

// A zero-length pause yields the processor.
void SleepMs(int milliseconds);
// nullptr restores the real pause.
void SetSleepFunction(SleepFunction function);

} // namespace hostmoor
