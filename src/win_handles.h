// Move-only owners for the platform objects the library opens, so that every early return on a
// failure path releases what was acquired before it.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <oleauto.h>

#include <utility>

namespace win {

// Closes a kernel handle. NULL and INVALID_HANDLE_VALUE both mean "no handle"; the latter is the
// current-process pseudo-handle and must never be waited on or closed.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(h_); }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr)
    {
        HANDLE old = std::exchange(h_, h);
        if (valid(old)) CloseHandle(old);
    }

private:
    HANDLE h_ = nullptr;
};

class UniqueHKey {
public:
    UniqueHKey() = default;
    ~UniqueHKey() { reset(); }
    UniqueHKey(UniqueHKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    UniqueHKey& operator=(UniqueHKey&& other) noexcept
    {
        if (this != &other) {
            reset();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }
    UniqueHKey(const UniqueHKey&) = delete;
    UniqueHKey& operator=(const UniqueHKey&) = delete;

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    // For RegOpenKeyExW and friends: releases the old key and hands out the slot.
    HKEY* put()
    {
        reset();
        return &key_;
    }
    void reset()
    {
        if (key_ != nullptr) RegCloseKey(std::exchange(key_, nullptr));
    }

private:
    HKEY key_ = nullptr;
};

class UniqueHInternet {
public:
    UniqueHInternet() = default;
    explicit UniqueHInternet(HINTERNET h) : h_(h) {}
    ~UniqueHInternet() { reset(); }
    UniqueHInternet(UniqueHInternet&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHInternet& operator=(UniqueHInternet&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    UniqueHInternet(const UniqueHInternet&) = delete;
    UniqueHInternet& operator=(const UniqueHInternet&) = delete;

    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HINTERNET h = nullptr)
    {
        HINTERNET old = std::exchange(h_, h);
        if (old != nullptr) WinHttpCloseHandle(old);
    }

private:
    HINTERNET h_ = nullptr;
};

// Owns one reference to a COM interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put()
    {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    void reset()
    {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
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

class UniqueBstr {
public:
    UniqueBstr() = default;
    // A null result means the allocation failed; callers check with operator bool.
    explicit UniqueBstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    ~UniqueBstr() { SysFreeString(s_); }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    BSTR get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    BSTR s_ = nullptr;
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

// Memory the system allocated with LocalAlloc (FormatMessageW's buffer).
class UniqueLocal {
public:
    UniqueLocal() = default;
    ~UniqueLocal()
    {
        if (p_ != nullptr) LocalFree(p_);
    }
    UniqueLocal(const UniqueLocal&) = delete;
    UniqueLocal& operator=(const UniqueLocal&) = delete;
    void* get() const { return p_; }
    void** put() { return &p_; }

private:
    void* p_ = nullptr;
};

// A text the system allocated for the caller with GlobalAlloc (WinHTTP's proxy settings).
class GlobalText {
public:
    explicit GlobalText(wchar_t* text) : text_(text) {}
    ~GlobalText()
    {
        if (text_ != nullptr) GlobalFree(text_);
    }
    GlobalText(const GlobalText&) = delete;
    GlobalText& operator=(const GlobalText&) = delete;
    wchar_t* get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }

private:
    wchar_t* text_;
};

// A library loaded for the scope's lifetime, for functions looked up at run time.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* name) : module_(LoadLibraryA(name)) {}
    ~LoadedLibrary()
    {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

}  // namespace win
