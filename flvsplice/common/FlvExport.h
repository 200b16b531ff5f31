#pragma once

// Marks the classes and functions that the shared library exports. Everything
// else stays hidden (the library is built with hidden visibility by default).
#if defined(FLVSPLICE_STATIC)
#define FLVSPLICE_API
#elif defined(_WIN32)
#if defined(FLVSPLICE_BUILDING)
#define FLVSPLICE_API __declspec(dllexport)
#else
#define FLVSPLICE_API __declspec(dllimport)
#endif
#else
#define FLVSPLICE_API __attribute__((visibility("default")))
#endif
