// Which vector paths the build may take. QUOR_PORTABLE (a build option) forces the
// portable code everywhere, so that the paths other processors take are built and tested
// on this one too.
#pragma once

#if defined(__SSE2__) && !defined(QUOR_PORTABLE)
#define QUOR_SSE2 1
#else
#define QUOR_SSE2 0
#endif

#if defined(__x86_64__) && !defined(QUOR_PORTABLE)
#define QUOR_X86_EXTENSIONS 1
#else
#define QUOR_X86_EXTENSIONS 0
#endif
