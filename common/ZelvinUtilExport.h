#pragma once

// Symbol visibility of the ZelvinUtil64 shared library. On Windows it is a
// static library (ZELVINUTIL_STATIC), whose symbols need no decoration.
#if defined(ZELVINUTIL_STATIC)
#define ZELVINUTIL_API
#elif defined(_WIN32)
#if defined(ZELVINUTIL_BUILD)
#define ZELVINUTIL_API __declspec(dllexport)
#else
#define ZELVINUTIL_API __declspec(dllimport)
#endif
#else
#define ZELVINUTIL_API __attribute__((visibility("default")))
#endif
