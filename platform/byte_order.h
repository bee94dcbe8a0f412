// htons, ntohs, htonl and ntohl of the system (they may be macros).
#pragma once

#ifdef _WIN32
#include "platform/win32/real_api.h"
#else
#include <arpa/inet.h>
#endif
