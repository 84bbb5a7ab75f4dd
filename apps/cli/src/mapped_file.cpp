#include "mapped_file.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "quencore_error/system_error.hpp"

namespace quenvistrel_cli {

namespace {

// The mappings the SIGBUS handler may mend. A run maps one state file; a few slots leave room
// for tests that hold several.
struct Slot {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<std::size_t> size{0};
  volatile sig_atomic_t damaged = 0;
};
constexpr int kSlots = 8;
Slot g_slots[kSlots];
struct sigaction g_previous {};
std::uintptr_t g_page = 4096;
bool g_installed = false;

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t base = slot.base.load(std::memory_order_relaxed);
    if (base == 0 || address < base || address - base >= slot.size.load(std::memory_order_relaxed)) continue;
    // A page of zeros where the file's page was: the read goes on, and the owner of the
    // mapping learns from damaged() that the bytes are not the file's.
    void* page = reinterpret_cast<void*>(address & ~(g_page - 1));
    if (::mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.damaged = 1;
      return;
    }
  }
  // Not one of ours: whatever would have happened without this handler.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != nullptr) {
    g_previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGBUS, &fallback, nullptr);  // the fault repeats and ends the process
}

void install_handler() {
  if (g_installed) return;
  g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = &on_sigbus;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGBUS, &action, &g_previous) == 0) g_installed = true;
}

int claim_slot(const char* data, std::size_t size) {
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = g_slots[i];
    if (slot.base.load(std::memory_order_relaxed) != 0) continue;
    slot.damaged = 0;
    // Whole pages: a read anywhere in the last page past the end faults alike.
    slot.size.store((size + g_page - 1) & ~(g_page - 1), std::memory_order_relaxed);
    slot.base.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
    return i;
  }
  return -1;
}

}  // namespace

std::expected<std::shared_ptr<MappedFile>, std::string> MappedFile::map(int fd, const struct stat& st) {
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) return std::shared_ptr<MappedFile>(new MappedFile(fd, st, nullptr, 0, -1));
  install_handler();
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    return quencore_error::system_error(error);
  }
  // Read front to back once; the kernel may read ahead generously and drop pages behind.
  ::madvise(data, size, MADV_SEQUENTIAL);
  const auto* bytes = static_cast<const char*>(data);
  const int slot = claim_slot(bytes, size);
  if (slot < 0) {
    ::munmap(data, size);
    ::close(fd);
    return quencore_error::system_error(EMFILE);
  }
  return std::shared_ptr<MappedFile>(new MappedFile(fd, st, bytes, size, slot));
}

MappedFile::MappedFile(int fd, const struct stat& st, const char* data, std::size_t size, int slot)
    : fd_(fd), st_(st), data_(data), size_(size), slot_(slot) {}

MappedFile::~MappedFile() {
  if (slot_ >= 0) g_slots[slot_].base.store(0, std::memory_order_release);
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

bool MappedFile::damaged() const { return slot_ >= 0 && g_slots[slot_].damaged != 0; }

bool MappedFile::unchanged() const {
  struct stat now {};
  if (::fstat(fd_, &now) != 0) return false;
  return now.st_size == st_.st_size && now.st_mtim.tv_sec == st_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == st_.st_mtim.tv_nsec && now.st_ctim.tv_sec == st_.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == st_.st_ctim.tv_nsec;
}

}  // namespace quenvistrel_cli
