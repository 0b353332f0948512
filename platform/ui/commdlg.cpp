// GetOpenFileNameW: the record's checks, the name rules shared by the script and the dialog,
// and the dialog itself, built in memory and laid out in WM_INITDIALOG as the message box is.
#include "platform/ui/commdlg.h"

#include <unistd.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/gdi.h"
#include "platform/ui/text.h"
#include "platform/ui/window.h"
#include "platform/win32/hive.h"

namespace win32 {
namespace {

namespace fs = std::filesystem;

thread_local DWORD t_error = 0;

std::mutex g_mu;  // guards the three below
bool g_scripted = false;
std::vector<testing::OpenFileAnswer> g_answers;
std::vector<testing::OpenFileAsked> g_asked;

fs::path ToPath(std::u16string name) {
  std::replace(name.begin(), name.end(), u'\\', u'/');
  return fs::path(hive::Utf8(name));
}
std::u16string FromPath(const fs::path& p) { return hive::Utf16FromUtf8(p.string()); }

char16_t Lower(char16_t c) { return c < 0x80 ? static_cast<char16_t>(std::towlower(c)) : c; }

// Case-insensitive, '*' and '?', as the shell matches a filter's patterns.
bool Glob(std::u16string_view pattern, std::u16string_view name) {
  size_t p = 0, n = 0, star = std::u16string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++, mark = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1, n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool MatchesFilter(const std::u16string& patterns, const std::u16string& name) {
  size_t start = 0;
  while (start <= patterns.size()) {
    size_t end = patterns.find(u';', start);
    if (end == std::u16string::npos) end = patterns.size();
    std::u16string one = patterns.substr(start, end - start);
    one.erase(0, one.find_first_not_of(u' '));
    while (!one.empty() && one.back() == u' ') one.pop_back();
    // "*.*" is every file, with an extension or not, as the platform reads it.
    if (one == u"*.*" || (!one.empty() && Glob(one, name))) return true;
    start = end + 1;
  }
  return false;
}

bool IEquals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

struct Request {
  OPENFILENAMEW* ofn;
  testing::OpenFileAsked asked;
};

// What a name typed into the field (or answered by a script) comes to.
struct Resolved {
  enum Kind { kNothing, kFile, kFolder, kRefused } kind = kNothing;
  fs::path path;
  std::u16string message;  // why it was refused, as the dialog says it
};

Resolved Resolve(const Request& r, const std::u16string& folder, std::u16string typed) {
  typed.erase(0, typed.find_first_not_of(u' '));
  while (!typed.empty() && typed.back() == u' ') typed.pop_back();
  if (typed.empty()) return {};
  fs::path p = ToPath(typed);
  if (p.is_relative()) p = ToPath(folder) / p;
  p = p.lexically_normal();
  if (p.has_filename() == false && p.has_parent_path()) p = p.parent_path();
  std::error_code ec;
  if (fs::is_directory(p, ec)) return {Resolved::kFolder, p, {}};
  const DWORD flags = r.asked.flags;
  const std::u16string shown = FromPath(p.filename());
  if (!r.asked.def_ext.empty() && !p.has_extension()) {
    // The default extension goes on a name without one; a file that has no extension and
    // exists as typed is still found.
    fs::path with = p;
    // Appended in two steps: GCC's -O3 misreads "." + string as an overlapping copy.
    with += ".";
    with += hive::Utf8(r.asked.def_ext);
    if (!((flags & OFN_FILEMUSTEXIST) != 0 && !fs::exists(with, ec) && fs::is_regular_file(p, ec))) p = with;
  }
  if ((flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) != 0 && !fs::is_directory(p.parent_path(), ec))
    return {Resolved::kRefused, p, shown + u"\nPath does not exist.\nCheck the path and try again."};
  if ((flags & OFN_FILEMUSTEXIST) != 0 && !fs::exists(p, ec))
    return {Resolved::kRefused, p, shown + u"\nFile not found.\nCheck the file name and try again."};
  return {Resolved::kFile, p, {}};
}

// Writes the choice into the caller's record; FALSE (with the error set) when it does not fit.
BOOL Deliver(const Request& r, const fs::path& chosen) {
  OPENFILENAMEW* ofn = r.ofn;
  const std::u16string path = FromPath(chosen);
  const size_t need = path.size() + 1;
  if (need > ofn->nMaxFile || need > 0xFFFF) {
    // The needed size, in characters, goes in the buffer's first two bytes.
    ofn->lpstrFile[0] = static_cast<WCHAR>(std::min<size_t>(need, 0xFFFF));
    t_error = FNERR_BUFFERTOOSMALL;
    return FALSE;
  }
  std::copy(path.begin(), path.end(), ofn->lpstrFile);
  ofn->lpstrFile[path.size()] = 0;
  const size_t slash = path.find_last_of(u"/\\");
  const size_t name_at = slash == std::u16string::npos ? 0 : slash + 1;
  const size_t dot = path.find_last_of(u'.');
  const bool has_ext = dot != std::u16string::npos && dot > name_at;
  ofn->nFileOffset = static_cast<WORD>(name_at);
  ofn->nFileExtension = static_cast<WORD>(has_ext ? dot + 1 : path.size());
  const std::u16string ext = has_ext ? path.substr(dot + 1) : std::u16string();
  if (ofn->lpstrDefExt != nullptr && !IEquals(ext, ofn->lpstrDefExt))
    ofn->Flags |= OFN_EXTENSIONDIFFERENT;
  else
    ofn->Flags &= ~OFN_EXTENSIONDIFFERENT;
  if (ofn->lpstrFileTitle != nullptr && ofn->nMaxFileTitle > 0) {
    const std::u16string title = path.substr(name_at);
    const size_t n = std::min<size_t>(title.size(), ofn->nMaxFileTitle - 1);
    std::copy_n(title.begin(), n, ofn->lpstrFileTitle);
    ofn->lpstrFileTitle[n] = 0;
  }
  if ((ofn->Flags & OFN_NOCHANGEDIR) == 0) {
    // Without OFN_NOCHANGEDIR the current folder follows the choice, as on the platform.
    std::error_code ec;
    fs::current_path(chosen.parent_path(), ec);
  }
  t_error = 0;
  return TRUE;
}

void RecordRefusal(size_t index, const std::u16string& answer) {
  std::lock_guard lock(g_mu);
  if (index < g_asked.size()) g_asked[index].refused.push_back(answer);
}

// ---------------------------------------------------------------------------------------
// The dialog.

struct Entry {
  std::u16string name;
  bool folder;
};

struct DialogState {
  Request* request;
  size_t record;
  std::u16string folder;
  DWORD filter;  // 0-based
  std::u16string pattern;  // typed into the name field; stands in for the filter until the type changes
  std::vector<Entry> entries;
  int selected = -1;
  fs::path result;
};

constexpr int kRow = 18;
constexpr int kClientW = 460;
constexpr int kClientH = 330;

void Fill(HWND dlg, DialogState* s) {
  s->entries.clear();
  s->selected = -1;
  const fs::path here = ToPath(s->folder);
  if (here.has_relative_path()) s->entries.push_back({u"..", true});
  std::vector<Entry> folders, files;
  std::error_code ec;
  const bool hidden = (s->request->asked.flags & OFN_FORCESHOWHIDDEN) != 0;
  const auto& filters = s->request->asked.filters;
  for (fs::directory_iterator it(here, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::u16string name = FromPath(it->path().filename());
    if (!hidden && !name.empty() && name[0] == u'.') continue;
    std::error_code e2;
    if (it->is_directory(e2)) {
      folders.push_back({name, true});
    } else if (!s->pattern.empty() ? MatchesFilter(s->pattern, name)
                                   : filters.empty() || MatchesFilter(filters[s->filter].second, name)) {
      files.push_back({name, false});
    }
  }
  auto by_name = [](const Entry& a, const Entry& b) {
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char16_t x, char16_t y) { return Lower(x) < Lower(y); });
  };
  std::sort(folders.begin(), folders.end(), by_name);
  std::sort(files.begin(), files.end(), by_name);
  s->entries.insert(s->entries.end(), folders.begin(), folders.end());
  s->entries.insert(s->entries.end(), files.begin(), files.end());
  // The list's text names its entries (folders with a trailing '/') for automation to read.
  std::u16string text;
  for (const Entry& e : s->entries) text += (text.empty() ? u"" : u"\n") + e.name + (e.folder ? u"/" : u"");
  HWND list = GetDlgItem(dlg, ui::kOpenFileListId);
  SetWindowTextW(list, text.c_str());
  SetDlgItemTextW(dlg, ui::kOpenFileFolderId, s->folder.c_str());
  if (!filters.empty()) SetDlgItemTextW(dlg, ui::kOpenFileTypeId, filters[s->filter].first.c_str());
  InvalidateRect(list, nullptr, TRUE);
}

void DrawList(DialogState* s, const DRAWITEMSTRUCT* di) {
  HDC dc = di->hDC;
  RECT all = di->rcItem;
  FillRect(dc, &all, GetSysColorBrush(COLOR_WINDOW));
  FrameRect(dc, &all, GetSysColorBrush(COLOR_3DSHADOW));
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(di->hwndItem), WM_GETFONT, 0, 0));
  HGDIOBJ old_font = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  for (size_t i = 0; i < s->entries.size(); ++i) {
    const int top = all.top + 2 + static_cast<int>(i) * kRow;
    if (top + kRow > all.bottom - 2) break;  // what does not fit is reached by typing its name
    RECT row{all.left + 2, top, all.right - 2, top + kRow};
    const bool sel = static_cast<int>(i) == s->selected;
    if (sel) FillRect(dc, &row, GetSysColorBrush(COLOR_HIGHLIGHT));
    // A small picture: a folder tab or a page.
    const Entry& e = s->entries[i];
    HBRUSH fill = CreateSolidBrush(e.folder ? RGB(0xF0, 0xC8, 0x50) : RGB(0xFF, 0xFF, 0xFF));
    HBRUSH edge = CreateSolidBrush(e.folder ? RGB(0x90, 0x70, 0x20) : RGB(0x70, 0x70, 0x70));
    RECT pic = e.folder ? RECT{row.left + 3, top + 5, row.left + 19, top + 15} : RECT{row.left + 5, top + 3, row.left + 17, top + 16};
    FillRect(dc, &pic, fill);
    FrameRect(dc, &pic, edge);
    if (e.folder) {
      RECT tab{pic.left, pic.top - 2, pic.left + 7, pic.top + 1};
      FillRect(dc, &tab, edge);
    }
    DeleteObject(fill);
    DeleteObject(edge);
    SetTextColor(dc, GetSysColor(sel ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    RECT tr{row.left + 24, row.top, row.right - 2, row.bottom};
    DrawTextW(dc, e.name.c_str(), -1, &tr, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  SelectObject(dc, old_font);
}

HWND Control(HWND dlg, const WCHAR* cls, const WCHAR* text, DWORD style, DWORD ex, int x, int y, int w, int h, int id) {
  HWND c = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, dlg,
                           reinterpret_cast<HMENU>(static_cast<uintptr_t>(static_cast<uint16_t>(id))), nullptr, nullptr);
  SendMessageW(c, WM_SETFONT, SendMessageW(dlg, WM_GETFONT, 0, 0), FALSE);
  return c;
}

void Layout(HWND dlg, DialogState* s) {
  Control(dlg, WC_STATICW, u"Look &in:", SS_LEFT, 0, 12, 15, 70, 18, IDC_STATIC);
  Control(dlg, WC_STATICW, u"", SS_LEFTNOWORDWRAP | SS_CENTERIMAGE | SS_NOPREFIX | SS_ENDELLIPSIS | SS_SUNKEN, 0, 86, 12, 362, 20,
          ui::kOpenFileFolderId);
  Control(dlg, WC_STATICW, u"", SS_OWNERDRAW | SS_NOTIFY, 0, 12, 42, 436, 4 + 11 * kRow, ui::kOpenFileListId);
  const int y1 = 42 + 4 + 11 * kRow + 14;
  Control(dlg, WC_STATICW, u"File &name:", SS_LEFT, 0, 12, y1 + 3, 80, 18, IDC_STATIC);
  HWND edit = Control(dlg, WC_EDITW, s->request->asked.file_name.c_str(), ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP | WS_GROUP,
                      WS_EX_CLIENTEDGE, 100, y1, 260, 22, ui::kOpenFileNameId);
  Control(dlg, WC_BUTTONW, u"&Open", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 0, 372, y1, 76, 23, IDOK);
  const int y2 = y1 + 30;
  Control(dlg, WC_STATICW, u"Files of &type:", SS_LEFT, 0, 12, y2 + 4, 86, 18, IDC_STATIC);
  HWND type = Control(dlg, WC_BUTTONW, u"", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, 0, 100, y2, 260, 23, ui::kOpenFileTypeId);
  EnableWindow(type, s->request->asked.filters.size() > 1);
  Control(dlg, WC_BUTTONW, u"Cancel", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, 0, 372, y2, 76, 23, IDCANCEL);
  SendMessageW(dlg, DM_SETDEFID, IDOK, 0);

  // Sized to the content, centred on the owner or else on the work area.
  RECT wr, cl, work;
  GetWindowRect(dlg, &wr);
  GetClientRect(dlg, &cl);
  const int w = kClientW + (wr.right - wr.left - cl.right), h = kClientH + (wr.bottom - wr.top - cl.bottom);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT around = work;
  HWND owner = s->request->asked.owner;
  if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &around);
  int px = around.left + (around.right - around.left - w) / 2, py = around.top + (around.bottom - around.top - h) / 2;
  px = std::max<int>(work.left, std::min<int>(px, work.right - w));
  py = std::max<int>(work.top, std::min<int>(py, work.bottom - h));
  SetWindowPos(dlg, nullptr, px, py, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  Fill(dlg, s);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
}

void OnOpen(HWND dlg, DialogState* s) {
  WCHAR buffer[4096];
  GetDlgItemTextW(dlg, ui::kOpenFileNameId, buffer, 4096);
  HWND edit = GetDlgItem(dlg, ui::kOpenFileNameId);
  const std::u16string typed = buffer;
  if (typed.find_first_of(u"*?") != std::u16string::npos && typed.find_first_of(u"/\\") == std::u16string::npos) {
    // A pattern lists what matches it, as the platform's dialog does; the way to find one
    // entry in a folder longer than the list.
    s->pattern = typed;
    Fill(dlg, s);
    SendMessageW(edit, EM_SETSEL, 0, -1);
    return;
  }
  Resolved r = Resolve(*s->request, s->folder, typed);
  switch (r.kind) {
    case Resolved::kNothing:
      break;
    case Resolved::kFolder:
      s->folder = FromPath(r.path);
      SetWindowTextW(edit, u"");
      Fill(dlg, s);
      break;
    case Resolved::kRefused:
      RecordRefusal(s->record, typed);
      MessageBoxW(dlg, r.message.c_str(), s->request->asked.title.c_str(), MB_OK | MB_ICONWARNING);
      break;
    case Resolved::kFile:
      s->result = r.path;
      EndDialog(dlg, IDOK);
      return;
  }
  SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
  SendMessageW(edit, EM_SETSEL, 0, -1);
}

INT_PTR OpenFileProc(HWND dlg, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* s = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, lparam);
      Layout(dlg, reinterpret_cast<DialogState*>(lparam));
      return FALSE;  // the focus is in the name field
    case WM_DRAWITEM:
      if (s == nullptr || wparam != static_cast<WPARAM>(ui::kOpenFileListId)) return FALSE;
      DrawList(s, reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_COMMAND: {
      if (s == nullptr) return FALSE;
      const int id = LOWORD(wparam);
      if (id == IDOK) {
        OnOpen(dlg, s);
      } else if (id == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
      } else if (id == ui::kOpenFileTypeId && HIWORD(wparam) == BN_CLICKED && !s->request->asked.filters.empty()) {
        s->filter = (s->filter + 1) % s->request->asked.filters.size();
        s->pattern.clear();
        Fill(dlg, s);
      } else if (id == ui::kOpenFileListId && HIWORD(wparam) == STN_CLICKED) {
        POINT pt;
        GetCursorPos(&pt);
        HWND list = GetDlgItem(dlg, ui::kOpenFileListId);
        ScreenToClient(list, &pt);
        const int row = (pt.y - 2) / kRow;
        if (pt.y >= 2 && row < static_cast<int>(s->entries.size())) {
          s->selected = row;
          SetDlgItemTextW(dlg, ui::kOpenFileNameId, s->entries[row].name.c_str());
          InvalidateRect(list, nullptr, TRUE);
        }
      }
      return TRUE;
    }
    default:
      return FALSE;
  }
}

std::vector<uint32_t> BuildTemplate(const std::u16string& caption) {
  std::vector<uint16_t> t;
  auto put32 = [&](DWORD v) {
    t.push_back(static_cast<uint16_t>(v & 0xFFFF));
    t.push_back(static_cast<uint16_t>(v >> 16));
  };
  put32(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);
  put32(0);
  t.push_back(0);  // no controls: WM_INITDIALOG makes them
  for (int i = 0; i < 4; ++i) t.push_back(i < 2 ? 0 : 10);
  t.push_back(0);  // menu
  t.push_back(0);  // class
  t.insert(t.end(), caption.begin(), caption.end());
  t.push_back(0);
  t.push_back(9);
  for (char16_t c : std::u16string(u"Segoe UI")) t.push_back(c);
  t.push_back(0);
  // DLGTEMPLATE wants DWORD alignment.
  std::vector<uint32_t> aligned((t.size() + 1) / 2);
  std::copy(t.begin(), t.end(), reinterpret_cast<uint16_t*>(aligned.data()));
  return aligned;
}

BOOL RunDialog(Request& r, size_t record) {
  DialogState s{&r, record, r.asked.folder, r.asked.filter_index - 1};
  std::vector<uint32_t> t = BuildTemplate(r.asked.title);
  HWND prev_focus = GetFocus();
  INT_PTR result = DialogBoxIndirectParamW(nullptr, reinterpret_cast<const DLGTEMPLATE*>(t.data()), r.asked.owner,
                                           OpenFileProc, reinterpret_cast<LPARAM>(&s));
  if (prev_focus != nullptr && IsWindow(prev_focus) &&
      GetWindowThreadProcessId(prev_focus, nullptr) == GetCurrentThreadId())
    SetFocus(prev_focus);
  if (result < 0) {
    t_error = CDERR_DIALOGFAILURE;
    return FALSE;
  }
  r.ofn->nFilterIndex = s.filter + 1;
  if (result != IDOK) {
    t_error = 0;
    return FALSE;
  }
  return Deliver(r, s.result);
}

BOOL RunScript(Request& r, size_t record) {
  for (;;) {
    std::optional<testing::OpenFileAnswer> a;
    {
      std::lock_guard lock(g_mu);
      if (!g_answers.empty()) {
        a = g_answers.front();
        g_answers.erase(g_answers.begin());
      }
    }
    if (!a || a->cancel) {
      t_error = 0;
      return FALSE;
    }
    Resolved res = Resolve(r, r.asked.folder, a->path);
    if (res.kind == Resolved::kFile) return Deliver(r, res.path);
    // A folder, an empty name or one the checks refuse: the person would try again.
    RecordRefusal(record, a->path);
  }
}

}  // namespace

DWORD CommDlgExtendedError() { return t_error; }

BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) {
  t_error = 0;
  if (ofn == nullptr) return t_error = CDERR_INITIALIZATION, FALSE;
  if (ofn->lStructSize != sizeof(OPENFILENAMEW) && ofn->lStructSize != OPENFILENAME_SIZE_VERSION_400W)
    return t_error = CDERR_STRUCTSIZE, FALSE;
  if ((ofn->Flags & (OFN_ENABLEHOOK | OFN_ENABLETEMPLATE | OFN_ENABLETEMPLATEHANDLE | OFN_ALLOWMULTISELECT)) != 0)
    return t_error = CDERR_DIALOGFAILURE, FALSE;
  if (ofn->lpstrFile == nullptr || ofn->nMaxFile == 0) return t_error = CDERR_INITIALIZATION, FALSE;
  if (ofn->hwndOwner != nullptr && !IsWindow(ofn->hwndOwner)) return t_error = CDERR_DIALOGFAILURE, FALSE;
  // The name the field starts with must end within the buffer the caller declared.
  const WCHAR* end = std::find(ofn->lpstrFile, ofn->lpstrFile + ofn->nMaxFile, WCHAR{0});
  if (end == ofn->lpstrFile + ofn->nMaxFile) return t_error = FNERR_INVALIDFILENAME, FALSE;

  Request r{ofn, {}};
  testing::OpenFileAsked& a = r.asked;
  a.owner = ofn->hwndOwner;
  a.title = ofn->lpstrTitle != nullptr && ofn->lpstrTitle[0] != 0 ? ofn->lpstrTitle : u"Open";
  for (const WCHAR* f = ofn->lpstrFilter; f != nullptr && *f != 0;) {
    std::u16string name = f;
    f += name.size() + 1;
    if (*f == 0) break;  // a description without patterns ends the list
    std::u16string patterns = f;
    f += patterns.size() + 1;
    a.filters.emplace_back(std::move(name), std::move(patterns));
  }
  a.filter_index = ofn->nFilterIndex >= 1 && ofn->nFilterIndex <= a.filters.size() ? ofn->nFilterIndex : 1;
  a.def_ext = ofn->lpstrDefExt != nullptr ? ofn->lpstrDefExt : u"";
  if (!a.def_ext.empty() && a.def_ext[0] == u'.') a.def_ext.erase(0, 1);
  a.flags = ofn->Flags;

  // The folder: the one asked for, else the one a path in the buffer names, else the current.
  std::u16string given(ofn->lpstrFile, static_cast<size_t>(end - ofn->lpstrFile));
  std::error_code ec;
  a.file_name = given;
  const fs::path given_path = ToPath(given);
  if (ofn->lpstrInitialDir != nullptr && fs::is_directory(ToPath(ofn->lpstrInitialDir), ec)) {
    a.folder = FromPath(fs::absolute(ToPath(ofn->lpstrInitialDir), ec).lexically_normal());
  } else if (given_path.has_parent_path() && fs::is_directory(given_path.parent_path(), ec)) {
    a.folder = FromPath(fs::absolute(given_path.parent_path(), ec).lexically_normal());
  } else {
    a.folder = FromPath(fs::current_path(ec));
  }
  if (given_path.has_parent_path() && !given_path.filename().empty() &&
      FromPath(given_path.parent_path().lexically_normal()) == FromPath(ToPath(a.folder).lexically_normal()))
    a.file_name = FromPath(given_path.filename());
  while (a.folder.size() > 1 && a.folder.back() == u'/') a.folder.pop_back();

  size_t record;
  bool scripted;
  {
    std::lock_guard lock(g_mu);
    g_asked.push_back(a);
    record = g_asked.size() - 1;
    scripted = g_scripted;
  }
  return scripted ? RunScript(r, record) : RunDialog(r, record);
}

namespace testing {
void SetOpenFileAnswers(std::vector<OpenFileAnswer> answers) {
  std::lock_guard lock(g_mu);
  g_scripted = true;
  g_answers = std::move(answers);
}
std::vector<OpenFileAsked> OpenFileRequests() {
  std::lock_guard lock(g_mu);
  return g_asked;
}
void ResetOpenFile() {
  std::lock_guard lock(g_mu);
  g_scripted = false;
  g_answers.clear();
  g_asked.clear();
}
}  // namespace testing

}  // namespace win32
