// System version answers and the process's command line.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/hive.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_internal.h"

namespace win32 {

namespace {

struct VersionAnswer {
  DWORD major = 6;
  DWORD minor = 1;
  DWORD build = 7601;
  DWORD platform_id = VER_PLATFORM_WIN32_NT;
  std::u16string service_pack = u"Service Pack 1";
};

std::mutex g_mu;
VersionAnswer g_version;
std::u16string g_command_line_set;  // empty: the real one
// GetCommandLineW hands out a pointer that lives as long as the process; each distinct
// answer is kept so earlier pointers stay valid after a test changes the line.
std::vector<std::unique_ptr<std::u16string>> g_command_lines;

// Quotes an argument so that the shell's splitting rules give it back unchanged.
std::u16string Quote(const std::u16string& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string::npos) return arg;
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') out.append(backslashes * 2 + 1, u'\\');
    else out.append(backslashes, u'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

std::u16string RealCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::u16string line;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    if (!line.empty()) line.push_back(u' ');
    line += Quote(hive::Utf16FromUtf8(std::string_view(raw).substr(start, end - start)));
    start = end + 1;
  }
  return line;
}

}  // namespace

DWORD GetVersion() {
  std::lock_guard lock(g_mu);
  DWORD v = (g_version.major & 0xFF) | ((g_version.minor & 0xFF) << 8) | ((g_version.build & 0x7FFF) << 16);
  if (g_version.platform_id != VER_PLATFORM_WIN32_NT) v |= 0x80000000u;
  return v;
}

BOOL GetVersionExW(OSVERSIONINFOW* info) {
  if (info == nullptr) return impl::Fail(ERROR_INVALID_PARAMETER);
  const DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW))
    return impl::Fail(ERROR_INSUFFICIENT_BUFFER);
  std::lock_guard lock(g_mu);
  info->dwMajorVersion = g_version.major;
  info->dwMinorVersion = g_version.minor;
  info->dwBuildNumber = g_version.build;
  info->dwPlatformId = g_version.platform_id;
  const size_t n = std::min<size_t>(g_version.service_pack.size(), 127);
  std::copy_n(g_version.service_pack.begin(), n, info->szCSDVersion);
  std::fill(info->szCSDVersion + n, info->szCSDVersion + 128, u'\0');
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
    const size_t sp = g_version.service_pack.rfind(u' ');
    uint16_t major = 0;
    if (g_version.service_pack.rfind(u"Service Pack ", 0) == 0 && sp != std::u16string::npos)
      for (size_t i = sp + 1; i < g_version.service_pack.size(); ++i)
        if (g_version.service_pack[i] >= u'0' && g_version.service_pack[i] <= u'9')
          major = static_cast<uint16_t>(major * 10 + (g_version.service_pack[i] - u'0'));
    ex->wServicePackMajor = major;
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS: a workstation with one session
    ex->wProductType = 1;     // VER_NT_WORKSTATION
    ex->wReserved = 0;
  }
  return TRUE;
}

LPWSTR GetCommandLineW() {
  std::lock_guard lock(g_mu);
  std::u16string line = g_command_line_set.empty() ? RealCommandLine() : g_command_line_set;
  if (g_command_lines.empty() || *g_command_lines.back() != line)
    g_command_lines.push_back(std::make_unique<std::u16string>(std::move(line)));
  return g_command_lines.back()->data();
}

namespace impl {
void ResetSystemAnswers() {
  std::lock_guard lock(g_mu);
  g_version = VersionAnswer{};
  g_command_line_set.clear();
}
}  // namespace impl

namespace testing {

void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platform_id, const std::u16string& service_pack) {
  std::lock_guard lock(g_mu);
  g_version = VersionAnswer{major, minor, build, platform_id, service_pack};
}

void SetCommandLine(const std::u16string& command_line) {
  std::lock_guard lock(g_mu);
  g_command_line_set = command_line;
}

}  // namespace testing

}  // namespace win32
