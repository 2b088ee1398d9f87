// platform/win32/Win32Api.h: the system headers of the Win32 backend, in one
// place. WIN32_LEAN_AND_MEAN keeps windows.h from pulling in the old winsock.h,
// so <winsock2.h> and <windows.h> may come in either order; NOMINMAX keeps the
// min and max macros away from std::min and std::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
// These need the two above first.
#include <aclapi.h>
#include <conio.h>
#include <process.h>
#include <ws2tcpip.h>
