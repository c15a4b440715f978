#pragma once
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

// Makes chosen system calls fail with an error number in a process, and in whatever it execs,
// through a seccomp filter: how tests reach the failure paths of calls that do not fail on a
// healthy machine. Install (in a forked child, since it cannot be undone) makes only
// async-signal-safe calls; on an architecture the filter does not know, it is not Supported.
class SyscallFailure {
 public:
  SyscallFailure(std::initializer_list<long> calls, int error) {
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
    const unsigned arch = AUDIT_ARCH_X86_64;
#else
    const unsigned arch = AUDIT_ARCH_AARCH64;
#endif
    // Another architecture's calls (or numbering) pass through untouched.
    m_filter = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (long call : calls) {
      m_filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), 0, 1));
      m_filter.push_back(
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)));
    }
    m_filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
#else
    (void)calls;
    (void)error;
#endif
  }
  bool Supported() const { return !m_filter.empty(); }
  // Applies the filter to the calling process for good; false when the kernel refuses it.
  bool Install() const {
    if (m_filter.empty()) return false;
    sock_fprog program{static_cast<unsigned short>(m_filter.size()), const_cast<sock_filter*>(m_filter.data())};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
  }

 private:
  std::vector<sock_filter> m_filter;
};
