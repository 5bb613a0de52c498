// The C library's own version of a function this preload replaces:
// REAL(open)(...) looks it up past this object (RTLD_NEXT) on first use and
// keeps it. The cache is constant-initialised, so nothing runs before the
// first call.
#pragma once

#include <atomic>
#include <dlfcn.h>

#define REAL(name)                                                                                 \
    ([]() {                                                                                        \
        static std::atomic<void*> cache_{nullptr};                                                 \
        void* sym = cache_.load(std::memory_order_acquire);                                        \
        if (sym == nullptr) {                                                                      \
            sym = dlsym(RTLD_NEXT, #name);                                                         \
            cache_.store(sym, std::memory_order_release);                                          \
        }                                                                                          \
        return reinterpret_cast<decltype(&::name)>(sym);                                           \
    }())
