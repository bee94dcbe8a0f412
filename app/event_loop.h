// The program's event loop as the start-up code uses it: the platform's
// message loop where it is built, otherwise a stand-in with no event sources.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace apploop {

// Creates the loop, the run's timer and the stop-signal watch (SIGINT,
// SIGTERM, SIGHUP, each calling onStopSignal with its number from the loop).
// False, with a one-line reason, when any of them cannot be made.
bool Init(std::function<void(int signo)> onStopSignal, std::string* error);
void DoEvents();
void Run();         // returns once Quit has been called
void Quit();
// Blocks the thread; true when a stop signal cut the pause short (the loop
// then has it to handle).
bool Sleep(uint32_t milliseconds);
// The run's one timer: the target set here runs from the loop once,
// milliseconds after StartTimer (a later call replaces an armed timer).
// StartTimer is false when the timer cannot be set.
void SetTimerTarget(std::function<void()> onElapsed);
bool StartTimer(uint32_t milliseconds);
void StopTimer();

}  // namespace apploop
