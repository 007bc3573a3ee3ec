// Export macro of the DBLayer stand-in: one shared copy per process, so that the
// host and the plug-in see one vtable of CConnect.
#pragma once
#if defined(_WIN32)
#  if defined(DBLAYER_BUILDING)
#    define DBLAYER_API __declspec(dllexport)
#  else
#    define DBLAYER_API __declspec(dllimport)
#  endif
#else
#  define DBLAYER_API __attribute__((visibility("default")))
#endif
