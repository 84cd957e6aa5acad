#pragma once

// Symbol visibility of the ZelvinUtil64 shared library.
#if defined(_WIN32)
#if defined(ZELVINUTIL_BUILD)
#define ZELVINUTIL_API __declspec(dllexport)
#else
#define ZELVINUTIL_API __declspec(dllimport)
#endif
#else
#define ZELVINUTIL_API __attribute__((visibility("default")))
#endif
