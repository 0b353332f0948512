#include "platform/ui/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/window.h"
#include "platform/win32/hive.h"

namespace win32 {

namespace {

struct Icon {
  HWND hwnd;
  UINT id;
  UINT flags = 0;
  UINT callback = 0;
  HICON icon = nullptr;  // owned copy
  std::u16string tip;
  UINT version = 0;
  bool hidden = false;
};

std::mutex g_mu;                // guards the icons and the recorded calls
std::vector<Icon> g_icons;      // in the order added; the task bar shows the first rightmost
std::vector<testing::ShellExecuteCall> g_calls;
bool g_launching = true;

bool SizeAccepted(DWORD size) {
  return size == NOTIFYICONDATAW_V1_SIZE || size == NOTIFYICONDATAW_V2_SIZE || size == NOTIFYICONDATAW_V3_SIZE ||
         size == sizeof(NOTIFYICONDATAW);
}

std::vector<Icon>::iterator Find(HWND hwnd, UINT id) {
  return std::find_if(g_icons.begin(), g_icons.end(), [&](const Icon& i) { return i.hwnd == hwnd && i.id == id; });
}

// Takes over what the record's flags name. The tip is read up to its terminator within the
// field the record's size has (64 characters in the first form, 128 after), as the shell cuts it.
void Apply(Icon* icon, const NOTIFYICONDATAW& d) {
  if (d.uFlags & NIF_MESSAGE) icon->callback = d.uCallbackMessage;
  if (d.uFlags & NIF_ICON) {
    if (icon->icon != nullptr) DestroyIcon(icon->icon);
    icon->icon = d.hIcon != nullptr ? CopyIcon(d.hIcon) : nullptr;
  }
  if (d.uFlags & NIF_TIP) {
    const size_t capacity = d.cbSize == NOTIFYICONDATAW_V1_SIZE ? 64 : 128;
    const WCHAR* end = std::find(d.szTip, d.szTip + capacity - 1, u'\0');
    icon->tip.assign(d.szTip, end);
  }
  if ((d.uFlags & NIF_STATE) && d.cbSize > NOTIFYICONDATAW_V1_SIZE && (d.dwStateMask & NIS_HIDDEN))
    icon->hidden = (d.dwState & NIS_HIDDEN) != 0;
  icon->flags |= d.uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE | NIF_INFO | NIF_SHOWTIP);
}

// The slots of the notification area: 24 pixels each, from the right end of the task bar
// leftwards, vertically centred in the bar, in the order the icons were added.
RECT SlotRect(size_t slot) {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int screen_w = GetSystemMetrics(SM_CXSCREEN);
  const int screen_h = GetSystemMetrics(SM_CYSCREEN);
  const int bar_h = std::max(screen_h - work.bottom, 24);
  const int right = screen_w - 8 - static_cast<int>(slot) * 24;
  const int top = screen_h - bar_h + (bar_h - 24) / 2;
  return RECT{right - 24, top, right, top + 24};
}

bool IsWebAddress(const std::u16string& s) {
  auto starts = [&](std::u16string_view p) {
    if (s.size() < p.size()) return false;
    for (size_t i = 0; i < p.size(); ++i) {
      char16_t c = s[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != p[i]) return false;
    }
    return true;
  };
  return starts(u"http://") || starts(u"https://") || starts(u"mailto:") || starts(u"ftp://");
}

// Starts `argv` detached from this process (a grandchild, so nobody has to reap it), with the
// standard streams on /dev/null. Only async-signal-safe calls run between fork and exec.
bool Launch(const std::vector<std::string>& args, const std::string& directory) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const char* dir = directory.empty() ? nullptr : directory.c_str();
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      setsid();
      const int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
      }
      if (dir != nullptr && chdir(dir) != 0) _exit(127);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

HINSTANCE ShellResult(int value) { return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(value)); }

std::u16string Text(LPCWSTR s) { return s == nullptr ? std::u16string() : std::u16string(s); }

}  // namespace

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
  if (data == nullptr || !SizeAccepted(data->cbSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (data->uFlags & NIF_GUID) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  std::lock_guard lock(g_mu);
  auto it = Find(data->hWnd, data->uID);
  switch (message) {
    case NIM_ADD: {
      if (!IsWindow(data->hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      if (it != g_icons.end()) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
      }
      Icon icon{data->hWnd, data->uID};
      Apply(&icon, *data);
      g_icons.push_back(std::move(icon));
      return TRUE;
    }
    case NIM_MODIFY:
    case NIM_DELETE:
    case NIM_SETFOCUS:
    case NIM_SETVERSION:
      if (it == g_icons.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
      if (message == NIM_MODIFY) {
        Apply(&*it, *data);
      } else if (message == NIM_DELETE) {
        if (it->icon != nullptr) DestroyIcon(it->icon);
        g_icons.erase(it);
      } else if (message == NIM_SETVERSION) {
        // Only the record forms that carry the version field can set it.
        if (data->cbSize == NOTIFYICONDATAW_V1_SIZE || data->uVersion > NOTIFYICON_VERSION_4) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return FALSE;
        }
        it->version = data->uVersion;
      }
      return TRUE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                        int show) {
  testing::ShellExecuteCall call{hwnd, Text(verb), Text(file), Text(parameters), Text(directory), show};
  bool launching;
  {
    std::lock_guard lock(g_mu);
    g_calls.push_back(call);
    launching = g_launching;
  }
  if (call.file.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ShellResult(SE_ERR_FNF);
  }
  const bool open_verb = call.verb.empty() || call.verb == u"open";
  const std::string dir = hive::Utf8(call.directory);
  if (IsWebAddress(call.file)) {
    if (!open_verb) {
      SetLastError(ERROR_NO_ASSOCIATION);
      return ShellResult(SE_ERR_NOASSOC);
    }
    if (launching && !Launch({"xdg-open", hive::Utf8(call.file)}, dir)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return ShellResult(SE_ERR_FNF);
    }
    return ShellResult(42);
  }
  std::string path = hive::Utf8(call.file);
  if (!dir.empty() && path.front() != '/') path = dir + "/" + path;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ShellResult(SE_ERR_FNF);
  }
  if (!open_verb) {
    SetLastError(ERROR_NO_ASSOCIATION);
    return ShellResult(SE_ERR_NOASSOC);
  }
  std::vector<std::string> args;
  if (S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0) {
    // A program runs with its parameters, split as its own start-up code would split them.
    args.push_back(path);
    if (!call.parameters.empty()) {
      int n = 0;
      const std::u16string line = u"x " + call.parameters;
      if (LPWSTR* argv = CommandLineToArgvW(line.c_str(), &n)) {
        for (int i = 1; i < n; ++i) args.push_back(hive::Utf8(argv[i]));
        LocalFree(argv);
      }
    }
  } else {
    args = {"xdg-open", path};
  }
  if (launching && !Launch(args, dir)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return ShellResult(SE_ERR_ACCESSDENIED);
  }
  return ShellResult(42);
}

LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) {
  if (count == nullptr || command_line == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::u16string> args;
  const std::u16string line(command_line);
  if (line.empty()) {
    WCHAR path[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    args.emplace_back(path, std::min<DWORD>(n, MAX_PATH));
  } else {
    size_t i = 0;
    // The program: no backslash rules, and a quote only at the start matters.
    std::u16string program;
    if (line[0] == u'"') {
      ++i;
      while (i < line.size() && line[i] != u'"') program.push_back(line[i++]);
      if (i < line.size()) ++i;
    } else {
      while (i < line.size() && line[i] != u' ' && line[i] != u'\t') program.push_back(line[i++]);
    }
    args.push_back(std::move(program));
    auto blank = [&](size_t k) { return line[k] == u' ' || line[k] == u'\t'; };
    while (true) {
      while (i < line.size() && blank(i)) ++i;
      if (i >= line.size()) break;
      std::u16string arg;
      bool quoted = false;
      while (i < line.size() && (quoted || !blank(i))) {
        if (line[i] == u'\\') {
          size_t n = 0;
          while (i < line.size() && line[i] == u'\\') ++n, ++i;
          if (i < line.size() && line[i] == u'"') {
            arg.append(n / 2, u'\\');
            if (n % 2 == 1) {
              arg.push_back(u'"');
              ++i;
            }
            // An even run leaves the quote to the next round, which toggles quoting.
          } else {
            arg.append(n, u'\\');
          }
        } else if (line[i] == u'"') {
          if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
            arg.push_back(u'"');
            i += 2;
          } else {
            quoted = !quoted;
            ++i;
          }
        } else {
          arg.push_back(line[i++]);
        }
      }
      args.push_back(std::move(arg));
    }
  }
  // One block: the pointer array, then the terminated strings it points into.
  size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
  for (const auto& a : args) bytes += (a.size() + 1) * sizeof(WCHAR);
  auto* block = static_cast<LPWSTR*>(LocalAlloc(LPTR, bytes));
  if (block == nullptr) return nullptr;
  auto* text = reinterpret_cast<WCHAR*>(block + args.size() + 1);
  for (size_t k = 0; k < args.size(); ++k) {
    block[k] = text;
    std::copy(args[k].begin(), args[k].end(), text);
    text += args[k].size();
    *text++ = u'\0';
  }
  block[args.size()] = nullptr;
  *count = static_cast<int>(args.size());
  return block;
}

namespace automation {

std::vector<NotifyIconInfo> NotifyIcons() {
  std::lock_guard lock(g_mu);
  std::vector<NotifyIconInfo> out;
  size_t slot = 0;
  for (const auto& i : g_icons) {
    RECT r = i.hidden ? RECT{} : SlotRect(slot++);
    out.push_back(NotifyIconInfo{i.hwnd, i.id, i.flags, i.callback, i.icon, i.tip, i.version, i.hidden, r});
  }
  return out;
}

bool ClickNotifyIcon(HWND hwnd, UINT id, IconGesture gesture) {
  UINT callback = 0;
  UINT version = 0;
  RECT rect{};
  {
    std::lock_guard lock(g_mu);
    auto it = Find(hwnd, id);
    if (it == g_icons.end() || it->hidden || it->callback == 0) return false;
    if (!IsWindow(hwnd)) {
      if (it->icon != nullptr) DestroyIcon(it->icon);
      g_icons.erase(it);
      return false;
    }
    size_t slot = 0;
    for (auto k = g_icons.begin(); k != it; ++k) slot += k->hidden ? 0 : 1;
    rect = SlotRect(slot);
    callback = it->callback;
    version = it->version;
  }
  const POINT p{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  MoveMouse(p.x, p.y);
  std::vector<UINT> events;
  switch (gesture) {
    case IconGesture::kLeftClick: events = {WM_LBUTTONDOWN, WM_LBUTTONUP}; break;
    case IconGesture::kLeftDouble: events = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}; break;
    case IconGesture::kRightClick: events = {WM_RBUTTONDOWN, WM_RBUTTONUP}; break;
    case IconGesture::kLeftPress: events = {WM_LBUTTONDOWN}; break;
    case IconGesture::kRightPress: events = {WM_RBUTTONDOWN}; break;
  }
  for (UINT e : events) {
    if (version >= NOTIFYICON_VERSION_4)
      PostMessageW(hwnd, callback, static_cast<WPARAM>(MAKELPARAM(p.x, p.y)), MAKELPARAM(e, id));
    else
      PostMessageW(hwnd, callback, id, static_cast<LPARAM>(e));
  }
  WaitForIdle();
  return true;
}

}  // namespace automation

namespace testing {

std::vector<ShellExecuteCall> ShellExecuteCalls() {
  std::lock_guard lock(g_mu);
  return g_calls;
}

void SetShellLaunching(bool launch) {
  std::lock_guard lock(g_mu);
  g_launching = launch;
}

void ResetShell() {
  std::lock_guard lock(g_mu);
  g_calls.clear();
  for (auto& i : g_icons)
    if (i.icon != nullptr) DestroyIcon(i.icon);
  g_icons.clear();
}

}  // namespace testing

}  // namespace win32
