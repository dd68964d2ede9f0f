// Shared libraries mapped on their first use instead of at start. The TLS
// and SSH libraries cost the daemon about 3 MB of memory once mapped, and
// most set-ups never use them; their functions are defined here as
// forwarders that resolve the library's own function on their first call.
#pragma once

#include "platform/Classes.h"

// The library or one of its functions is missing.
class ELazyLibrary : public Exception {
public:
    using Exception::Exception;
};

// The address of Name in the library SoName, which is loaded on the first
// call and stays. Raises ELazyLibrary when either cannot be found.
void* LazySymbol(const char* SoName, const char* Name);

// Defines the function Name as the library's header declares it, calling
// the library's own Name with Args.
#define LAZY_FORWARD(SoName, Result, Name, Params, Args)                                           \
    extern "C" Result Name Params                                                                \
    {                                                                                            \
        static const auto real = reinterpret_cast<decltype(&Name)>(LazySymbol(SoName, #Name)); \
        return real Args;                                                                        \
    }
