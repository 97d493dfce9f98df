/* SDL2 configuration for compiling against SDL's public headers with MinGW-w64. Only the
 * public headers are used (SDL is bound at run time), so this names the C library the headers may
 * rely on and the pointer size of the target. */
#ifndef SDL_config_h_
#define SDL_config_h_

#include "SDL_platform.h"

#if defined(_WIN64)
#define SIZEOF_VOIDP 8
#else
#define SIZEOF_VOIDP 4
#endif

#define HAVE_LIBC 1
#define STDC_HEADERS 1
#define HAVE_CTYPE_H 1
#define HAVE_FLOAT_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_LIMITS_H 1
#define HAVE_MALLOC_H 1
#define HAVE_MATH_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDARG_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDIO_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_WCHAR_H 1

#endif /* SDL_config_h_ */
