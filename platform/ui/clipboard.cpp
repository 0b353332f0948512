// Clipboard and movable memory blocks.
#include "platform/ui/clipboard.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ui/window.h"

namespace win32 {
namespace {

struct Block {
  std::vector<uint8_t> bytes;
  int locks = 0;
};

std::mutex g_mu;
std::map<const void*, std::unique_ptr<Block>> g_blocks;  // guarded by g_mu
DWORD g_open_thread = 0;                                 // guarded by g_mu
HWND g_owner = nullptr;                                  // guarded by g_mu
std::map<UINT, HGLOBAL> g_data;                          // guarded by g_mu; blocks owned here

Block* FindBlock(HGLOBAL h) {  // g_mu held
  auto it = g_blocks.find(h);
  return it == g_blocks.end() ? nullptr : it->second.get();
}

void FreeBlock(HGLOBAL h) { g_blocks.erase(h); }  // g_mu held

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  auto b = std::make_unique<Block>();
  (void)flags;  // blocks are zeroed whether or not GMEM_ZEROINIT asks
  b->bytes.assign(bytes, 0);
  std::lock_guard lk(g_mu);
  const void* h = b.get();
  g_blocks[h] = std::move(b);
  return h;
}

void* GlobalLock(HGLOBAL block) {
  std::lock_guard lk(g_mu);
  Block* b = FindBlock(block);
  if (b == nullptr) return SetLastError(ERROR_INVALID_HANDLE), nullptr;
  ++b->locks;
  return b->bytes.empty() ? static_cast<void*>(b) : b->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL block) {
  std::lock_guard lk(g_mu);
  Block* b = FindBlock(block);
  if (b == nullptr || b->locks == 0) return FALSE;
  return --b->locks > 0;
}

size_t GlobalSize(HGLOBAL block) {
  std::lock_guard lk(g_mu);
  Block* b = FindBlock(block);
  return b == nullptr ? 0 : b->bytes.size();
}

HGLOBAL GlobalFree(HGLOBAL block) {
  std::lock_guard lk(g_mu);
  if (FindBlock(block) == nullptr) return SetLastError(ERROR_INVALID_HANDLE), block;
  FreeBlock(block);
  return nullptr;
}

BOOL OpenClipboard(HWND owner) {
  std::lock_guard lk(g_mu);
  DWORD self = GetCurrentThreadId();
  if (g_open_thread != 0 && g_open_thread != self) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  g_open_thread = self;
  g_owner = owner;
  return TRUE;
}

BOOL CloseClipboard() {
  std::lock_guard lk(g_mu);
  if (g_open_thread != GetCurrentThreadId()) return SetLastError(ERROR_CLIPBOARD_NOT_OPEN), FALSE;
  g_open_thread = 0;
  return TRUE;
}

BOOL EmptyClipboard() {
  std::lock_guard lk(g_mu);
  if (g_open_thread != GetCurrentThreadId()) return SetLastError(ERROR_CLIPBOARD_NOT_OPEN), FALSE;
  for (auto& [format, h] : g_data) FreeBlock(h);
  g_data.clear();
  return TRUE;
}

HGLOBAL SetClipboardData(UINT format, HGLOBAL data) {
  std::lock_guard lk(g_mu);
  if (g_open_thread != GetCurrentThreadId()) return SetLastError(ERROR_CLIPBOARD_NOT_OPEN), nullptr;
  if (format != CF_UNICODETEXT || FindBlock(data) == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  auto it = g_data.find(format);
  if (it != g_data.end() && it->second != data) FreeBlock(it->second);
  g_data[format] = data;
  return data;
}

HGLOBAL GetClipboardData(UINT format) {
  std::lock_guard lk(g_mu);
  if (g_open_thread != GetCurrentThreadId()) return SetLastError(ERROR_CLIPBOARD_NOT_OPEN), nullptr;
  auto it = g_data.find(format);
  return it == g_data.end() ? nullptr : it->second;
}

BOOL IsClipboardFormatAvailable(UINT format) {
  std::lock_guard lk(g_mu);
  return g_data.count(format) != 0;
}

}  // namespace win32
