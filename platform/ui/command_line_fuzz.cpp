// A command line comes from whoever starts the program: any text must split without reading
// past its end, into arguments that, quoted again by the shell's rules, split back the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ui/shell.h"
#include "platform/win32/win32.h"

using namespace win32;

namespace {
std::u16string Quote(const std::u16string& arg) {
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string line;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    line.push_back(c);
  }
  int n = 0;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &n);
  if (argv == nullptr || n < 1) std::abort();
  std::vector<std::u16string> args(argv, argv + n);
  if (argv[n] != nullptr) std::abort();
  LocalFree(argv);
  if (line.empty()) return 0;
  // Arguments after the program, quoted, split back unchanged.
  std::u16string again = u"p";
  for (int i = 1; i < n; ++i) again += u" " + Quote(args[static_cast<size_t>(i)]);
  argv = CommandLineToArgvW(again.c_str(), &n);
  if (argv == nullptr || static_cast<size_t>(n) != args.size()) std::abort();
  for (int i = 1; i < n; ++i)
    if (args[static_cast<size_t>(i)] != argv[i]) std::abort();
  LocalFree(argv);
  return 0;
}
