// The program's event loop as the start-up code uses it: the platform's
// message loop where it is built, otherwise a stand-in with no event sources.
#pragma once

#include <cstdint>

namespace apploop {

void DoEvents();
void Run();         // returns once Quit has been called
void Quit();
void Sleep(uint32_t milliseconds);

}  // namespace apploop
