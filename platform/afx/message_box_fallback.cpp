// A stand-in for MessageBoxW until the dialog manager draws real boxes: it records what a box
// would have said and answers at once, so start-up and error paths can be driven and checked.
// Replaced by the dialog manager's MessageBoxW (see dialog_seam.h).

#include <mutex>

#include "platform/afx/dialog_seam.h"

namespace win32 {

namespace {
std::mutex g_mu;
std::vector<testing::MessageBoxShown> g_shown;
int g_answer = IDOK;

// The buttons of each MB_ set, first the one that answers when the script's answer is not among them.
std::vector<int> Buttons(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    default: return {IDOK};
  }
}
}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  std::lock_guard lock(g_mu);
  g_shown.push_back({owner, text != nullptr ? text : u"", caption != nullptr ? caption : u"Error", type});
  const std::vector<int> buttons = Buttons(type);
  for (int b : buttons)
    if (b == g_answer) return b;
  return buttons.front();
}

namespace testing {
std::vector<MessageBoxShown> MessageBoxesShown() {
  std::lock_guard lock(g_mu);
  return g_shown;
}
void SetMessageBoxAnswer(int answer) {
  std::lock_guard lock(g_mu);
  g_answer = answer;
}
void ResetMessageBoxes() {
  std::lock_guard lock(g_mu);
  g_shown.clear();
  g_answer = IDOK;
}
}  // namespace testing

}  // namespace win32
