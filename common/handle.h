// One small owner for Win32 handles (HANDLE, HKEY, SC_HANDLE, HINTERNET, ...), so no path leaks them.
#pragma once
#include <windows.h>

template <typename Traits>
class Owned {
public:
    using value_type = typename Traits::value_type;

    Owned() = default;
    explicit Owned(value_type value) : value_(value) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : value_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const { return value_; }
    bool valid() const { return Traits::valid(value_); }
    explicit operator bool() const { return valid(); }
    value_type release() {
        value_type value = value_;
        value_ = Traits::empty();
        return value;
    }
    void reset(value_type value = Traits::empty()) {
        if (Traits::valid(value_)) Traits::close(value_);
        value_ = value;
    }
    // For out-parameters of creating calls: closes what is held and hands out the slot.
    value_type* put() {
        reset();
        return &value_;
    }

private:
    value_type value_ = Traits::empty();
};

struct KernelHandleTraits {
    using value_type = HANDLE;
    static HANDLE empty() { return nullptr; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};

struct RegKeyTraits {
    using value_type = HKEY;
    static HKEY empty() { return nullptr; }
    static bool valid(HKEY h) { return h != nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};

// LocalAlloc'ed memory handed out by the system (security descriptors, SDDL texts, SIDs).
struct LocalMemoryTraits {
    using value_type = HLOCAL;
    static HLOCAL empty() { return nullptr; }
    static bool valid(HLOCAL h) { return h != nullptr; }
    static void close(HLOCAL h) { LocalFree(h); }
};

using OwnedHandle = Owned<KernelHandleTraits>;
using OwnedKey = Owned<RegKeyTraits>;
using OwnedLocal = Owned<LocalMemoryTraits>;
// Service handles (winsvc.h) and internet handles (winhttp.h) get their traits beside the code
// that includes those headers; winhttp.h and wininet.h must never meet in one file.
