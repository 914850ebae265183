// Move-only owners for the platform objects the library opens, so that every early return on a
// failure path releases what was acquired before it.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <oleauto.h>

#include <utility>

namespace win {

// One owner for every kind of platform value. Traits says which value means "nothing held"
// (empty), which values are real (valid) and how one is given back (close). A traits object that
// needs state of its own (a function looked up at run time) travels with the value.
template <typename Traits>
class Unique {
public:
    using Value = typename Traits::Value;

    Unique() = default;
    explicit Unique(Value value, Traits traits = Traits()) : value_(value), traits_(traits) {}
    ~Unique() { reset(); }
    Unique(Unique&& other) noexcept : value_(other.release()), traits_(other.traits_) {}
    Unique& operator=(Unique&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
            traits_ = other.traits_;
        }
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Value get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }
    Value release() { return std::exchange(value_, Traits::empty()); }
    void reset(Value value = Traits::empty())
    {
        Value old = std::exchange(value_, value);
        if (Traits::valid(old)) traits_.close(old);
    }
    // For the functions that return what they open through an out-parameter: releases what was
    // held and hands out the slot.
    Value* put()
    {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::empty();
    Traits traits_;
};

// Traits for values where a null value is the only "nothing".
template <typename T>
struct NullIsEmpty {
    using Value = T;
    static T empty() { return T(); }
    static bool valid(T value) { return value != T(); }
};

// A kernel handle. NULL and INVALID_HANDLE_VALUE both mean "no handle"; the latter is the
// current-process pseudo-handle and must never be waited on or closed.
struct HandleTraits : NullIsEmpty<HANDLE> {
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
using UniqueHandle = Unique<HandleTraits>;

struct HKeyTraits : NullIsEmpty<HKEY> {
    static void close(HKEY key) { RegCloseKey(key); }
};
using UniqueHKey = Unique<HKeyTraits>;

struct HInternetTraits : NullIsEmpty<HINTERNET> {
    static void close(HINTERNET h) { WinHttpCloseHandle(h); }
};
using UniqueHInternet = Unique<HInternetTraits>;

// A directory search (FindFirstFileW), which fails with INVALID_HANDLE_VALUE.
struct FindTraits : NullIsEmpty<HANDLE> {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
using UniqueFind = Unique<FindTraits>;

// A timer of the default timer queue. Deleting it waits for a callback that is running right now,
// so none can touch what the callback uses after the owner let go.
struct TimerQueueTimerTraits : NullIsEmpty<HANDLE> {
    static void close(HANDLE timer) { DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE); }
};
using TimerQueueTimer = Unique<TimerQueueTimerTraits>;

// One reference on a loaded module (LoadLibrary, or GetModuleHandleEx without the unchanged-count
// flag).
struct ModuleTraits : NullIsEmpty<HMODULE> {
    static void close(HMODULE module) { FreeLibrary(module); }
};
using ModuleReference = Unique<ModuleTraits>;

// A library loaded for the owner's lifetime, for functions looked up at run time.
inline ModuleReference loadLibrary(const char* name) { return ModuleReference(LoadLibraryA(name)); }

// Memory the system allocated with LocalAlloc (FormatMessageW's buffer).
struct LocalTraits : NullIsEmpty<void*> {
    static void close(void* p) { LocalFree(p); }
};
using UniqueLocal = Unique<LocalTraits>;

// A text the system allocated for the caller with GlobalAlloc (WinHTTP's proxy settings).
struct GlobalTextTraits : NullIsEmpty<wchar_t*> {
    static void close(wchar_t* text) { GlobalFree(text); }
};
using GlobalText = Unique<GlobalTextTraits>;

struct BstrTraits : NullIsEmpty<BSTR> {
    static void close(BSTR text) { SysFreeString(text); }
};

// A BSTR copied from a text. A null one means the allocation failed; callers check with operator
// bool.
class UniqueBstr : public Unique<BstrTraits> {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(const wchar_t* text) : Unique(SysAllocString(text)) {}
};

template <typename T>
struct ComTraits : NullIsEmpty<T*> {
    static void close(T* p) { p->Release(); }
};

// Owns one reference to a COM interface.
template <typename T>
class ComPtr : public Unique<ComTraits<T>> {
public:
    using Unique<ComTraits<T>>::Unique;
    T* operator->() const { return this->get(); }
    void** putVoid() { return reinterpret_cast<void**>(this->put()); }
};

class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    ~UniqueVariant() { VariantClear(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    VARIANT* get() { return &v_; }
    VARIANT* put()
    {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

// Joins COM in the given model for the scope's lifetime; leaves only if the join succeeded.
class ComScope {
public:
    explicit ComScope(DWORD model) : hr_(CoInitializeEx(nullptr, model)) {}
    ~ComScope()
    {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool ok() const { return SUCCEEDED(hr_); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// Holds a slim reader/writer lock exclusively for the scope. The library's hand-overs between
// threads use these locks and condition variables: under Wine they wait without a round trip to
// the wine server, which the run-time library's mutexes and condition variables (semaphores) and
// events all pay.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace win
