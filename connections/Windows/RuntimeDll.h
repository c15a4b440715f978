#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>

// A system DLL loaded on first use, each function looked up by name: a system without one of
// them makes that call fail (with ERROR_PROC_NOT_FOUND) instead of keeping the service from
// starting. The loader classes derive from it.
class CRuntimeDll {
 public:
  explicit CRuntimeDll(const wchar_t* name) : m_name(name) {}
  virtual ~CRuntimeDll() {
    if (m_module) ::FreeLibrary(m_module);
  }
  CRuntimeDll(const CRuntimeDll&) = delete;
  CRuntimeDll& operator=(const CRuntimeDll&) = delete;

 protected:
  // The function, resolved on first use; null when the DLL or the function is missing.
  template <typename Function>
  Function* Resolve(const char* name) {
    // Loaded once: the calls may come from several threads.
    std::call_once(m_loadOnce, [this] { m_module = ::LoadLibraryW(m_name); });
    if (!m_module) return nullptr;
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
  }
  // A missing function's answer: the call failed, for want of the function.
  template <typename Result>
  static Result Missing(Result failed) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return failed;
  }

 private:
  const wchar_t* m_name;
  std::once_flag m_loadOnce;
  HMODULE m_module = nullptr;
};

// The loader of a kind that the process uses: the system's, unless a test put one of its own in
// place (Use(nullptr) puts the system's back). Set before the calls begin, not during.
template <typename Loader>
class CLoaderInUse {
 public:
  static Loader& Current() {
    static Loader system;
    Loader* replacement = s_replacement.load();
    return replacement ? *replacement : system;
  }
  static void Use(Loader* loader) { s_replacement.store(loader); }

 private:
  static inline std::atomic<Loader*> s_replacement{nullptr};
};
