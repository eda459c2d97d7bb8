#pragma once
// Spellings shared with code above the platform layer, so that it can name
// Win32 calling conventions and handle types without including <windows.h>.

#if defined(_WIN32)
#define RIVELO_WINAPI __stdcall
#else
#define RIVELO_WINAPI
#endif
