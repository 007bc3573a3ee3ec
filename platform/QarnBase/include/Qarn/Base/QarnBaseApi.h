// Export macro of the QarnBase stand-in: one shared copy per process, so that
// the host and the plug-in write through the same log sink.
#pragma once
#if defined(_WIN32)
#  if defined(QARNBASE_BUILDING)
#    define QARNBASE_API __declspec(dllexport)
#  else
#    define QARNBASE_API __declspec(dllimport)
#  endif
// MinGW's C++ runtime formats like glibc (C99), so its builds check formats too.
#  if defined(__GNUC__)
#    define QARNBASE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#  else
#    define QARNBASE_PRINTF(fmt, args)
#  endif
#else
#  define QARNBASE_API __attribute__((visibility("default")))
#  define QARNBASE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
