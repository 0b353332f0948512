// skm_rc: compiles the program's resource script (our own small format, described in
// resources/README.md) into a compiled resource file in the platform's binary layouts,
// and optionally into a C++ source that links the file into the program.
//
//   skm_rc SCRIPT OUT.res [OUT.cpp]
//
// Artwork paths in the script are relative to the script's folder.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ui/ui_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Die(const std::string& where, const std::string& what) {
  std::cerr << where << ": " << what << "\n";
  std::exit(1);
}

void Put16(Bytes& b, uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    char32_t cp;
    int n;
    if (c < 0x80) cp = c, n = 1;
    else if ((c >> 5) == 6) cp = c & 0x1F, n = 2;
    else if ((c >> 4) == 14) cp = c & 0x0F, n = 3;
    else cp = c & 0x07, n = 4;
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void PutText(Bytes& b, const std::u16string& s, bool terminate) {
  for (char16_t c : s) Put16(b, c);
  if (terminate) Put16(b, 0);
}

// Tokens: words, numbers and "quoted strings" with \t \n \" \\ escapes; '#' starts a comment.
struct Token {
  std::string text;
  bool quoted;
  int line;
};

std::vector<Token> Tokenize(const std::string& src, const std::string& file) {
  std::vector<Token> out;
  int line = 1;
  for (size_t i = 0; i < src.size();) {
    char c = src[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (c == '#') {
      while (i < src.size() && src[i] != '\n') ++i;
    } else if (isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '"') {
      std::string s;
      ++i;
      for (;;) {
        if (i >= src.size() || src[i] == '\n') Die(file + ":" + std::to_string(line), "unterminated string");
        char d = src[i++];
        if (d == '"') break;
        if (d == '\\' && i < src.size()) {
          char e = src[i++];
          s += e == 't' ? '\t' : e == 'n' ? '\n' : e;
        } else {
          s += d;
        }
      }
      out.push_back({s, true, line});
    } else {
      std::string s;
      while (i < src.size() && !isspace(static_cast<unsigned char>(src[i])) && src[i] != '"' && src[i] != '#') s += src[i++];
      out.push_back({s, false, line});
    }
  }
  return out;
}

struct Resource {
  uint32_t type;
  uint32_t name;
  Bytes data;
  std::u16string type_name;  // a named type ("AVI"): stored as a string after the data
};

class Compiler {
 public:
  Compiler(std::vector<Token> t, std::string file, std::string dir) : t_(std::move(t)), file_(std::move(file)), dir_(std::move(dir)) {}

  std::vector<Resource> Run() {
    while (pos_ < t_.size()) {
      std::string kw = Word();
      if (kw == "menu") Menu();
      else if (kw == "strings") Strings();
      else if (kw == "bitmap") Bitmap();
      else if (kw == "icon") Icon();
      else if (kw == "dialog") Dialog(false);
      else if (kw == "dialogex") Dialog(true);
      else if (kw == "avi") Avi();
      else Fail("unknown statement '" + kw + "'");
    }
    for (auto& [block, strings] : strings_) {
      Bytes b;
      for (int i = 0; i < 16; ++i) {
        auto it = strings.find(i);
        std::u16string s = it == strings.end() ? u"" : it->second;
        Put16(b, static_cast<uint32_t>(s.size()));
        PutText(b, s, false);
      }
      out_.push_back({6, block, b});
    }
    return out_;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    int line = pos_ < t_.size() ? t_[pos_].line : (t_.empty() ? 0 : t_.back().line);
    Die(file_ + ":" + std::to_string(line), what);
  }
  bool AtEnd() const { return pos_ >= t_.size(); }
  const Token& Peek() {
    if (AtEnd()) Fail("unexpected end of script");
    return t_[pos_];
  }
  std::string Word() {
    const Token& tk = Peek();
    if (tk.quoted) Fail("expected a word, found a string");
    ++pos_;
    return tk.text;
  }
  std::string Quoted() {
    const Token& tk = Peek();
    if (!tk.quoted) Fail("expected a quoted string, found '" + tk.text + "'");
    ++pos_;
    return tk.text;
  }
  uint32_t Number() {
    std::string w = Word();
    char* end;
    unsigned long v = std::strtoul(w.c_str(), &end, 0);
    if (*end != 0 || v == 0 || v > 0xFFFF) Fail("expected an identifier 1..65535, found '" + w + "'");
    return static_cast<uint32_t>(v);
  }
  uint16_t ItemFlags() {
    uint16_t f = 0;
    while (!AtEnd() && !Peek().quoted) {
      const std::string& w = Peek().text;
      uint16_t bit = w == "grayed" ? 0x01 : w == "disabled" ? 0x02 : w == "checked" ? 0x08 : w == "menubreak" ? 0x40
                   : w == "menubarbreak" ? 0x20 : 0;
      if (bit == 0) break;
      f |= bit;
      ++pos_;
    }
    return f;
  }

  // An entry list until "end": item ID "text" flags | separator | popup "text" flags ... end
  struct Entry {
    uint16_t option;
    uint16_t id;
    std::u16string text;
    std::vector<Entry> children;
  };
  std::vector<Entry> Entries() {
    std::vector<Entry> list;
    for (;;) {
      std::string kw = Word();
      if (kw == "end") break;
      Entry e{};
      if (kw == "item") {
        e.id = static_cast<uint16_t>(Number());
        e.text = Utf16(Quoted());
        e.option = ItemFlags();
      } else if (kw == "separator") {
      } else if (kw == "popup") {
        e.text = Utf16(Quoted());
        e.option = ItemFlags() | 0x10;
        e.children = Entries();
        if (e.children.empty()) Fail("a popup needs at least one entry");
      } else {
        Fail("expected item, separator, popup or end, found '" + kw + "'");
      }
      list.push_back(std::move(e));
    }
    return list;
  }
  void Emit(Bytes& b, const std::vector<Entry>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      const Entry& e = list[i];
      uint16_t option = e.option | (i + 1 == list.size() ? 0x80 : 0);  // MF_END on the last
      Put16(b, option);
      if ((option & 0x10) == 0) Put16(b, e.id);
      PutText(b, e.text, true);
      if (option & 0x10) Emit(b, e.children);
    }
  }
  void Menu() {
    uint32_t id = Number();
    auto list = Entries();
    if (list.empty()) Fail("an empty menu");
    Bytes b;
    Put16(b, 0);  // version
    Put16(b, 0);  // header size
    Emit(b, list);
    out_.push_back({4, id, b});
  }
  void Strings() {
    for (;;) {
      if (!Peek().quoted && Peek().text == "end") {
        ++pos_;
        return;
      }
      uint32_t id = Number();
      std::u16string s = Utf16(Quoted());
      auto& block = strings_[id / 16 + 1];
      if (block.count(id % 16)) Fail("string " + std::to_string(id) + " defined twice");
      block[id % 16] = s;
    }
  }
  std::vector<uint32_t> Png(const std::string& rel, int* w, int* h) {
    std::ifstream f(dir_ + "/" + rel, std::ios::binary);
    if (!f) Fail("cannot read " + rel);
    Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<uint32_t> px;
    if (!win32::ui::ReadPngMemory(data.data(), data.size(), w, h, &px)) Fail(rel + " is not a PNG file");
    return px;
  }
  static void PutHeader(Bytes& b, int w, int h) {
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(w));
    Put32(b, static_cast<uint32_t>(h));
    Put16(b, 1);
    Put16(b, 32);
    for (int i = 0; i < 6; ++i) Put32(b, 0);
  }
  static void PutRows(Bytes& b, const std::vector<uint32_t>& px, int w, int h) {
    for (int y = h - 1; y >= 0; --y)
      for (int x = 0; x < w; ++x) {
        uint32_t p = px[static_cast<size_t>(y) * w + x];
        b.push_back(p & 0xFF);
        b.push_back((p >> 8) & 0xFF);
        b.push_back((p >> 16) & 0xFF);
        b.push_back((p >> 24) & 0xFF);
      }
  }
  // A device-independent bitmap, 32 bits, bottom-up, alpha kept.
  void Bitmap() {
    uint32_t id = Number();
    int w, h;
    auto px = Png(Quoted(), &w, &h);
    Bytes b;
    PutHeader(b, w, h);
    PutRows(b, px, w, h);
    out_.push_back({2, id, b});
  }
  // An animation clip (type "AVI"): the RIFF file as it is, after a check of its header.
  void Avi() {
    uint32_t id = Number();
    std::string rel = Quoted();
    std::ifstream f(dir_ + "/" + rel, std::ios::binary);
    if (!f) Fail("cannot read " + rel);
    Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 || std::memcmp(data.data() + 8, "AVI ", 4) != 0)
      Fail(rel + " is not an AVI file");
    out_.push_back({0, id, data, u"AVI"});
  }
  // An icon group: one RT_ICON image per file (32-bit colour and AND mask), and the group.
  void Icon() {
    uint32_t id = Number();
    Bytes group;
    Put16(group, 0);
    Put16(group, 1);
    std::vector<Bytes> images;
    std::vector<std::pair<int, int>> sizes;
    while (!AtEnd() && Peek().quoted) {
      int w, h;
      auto px = Png(Quoted(), &w, &h);
      if (w > 256 || h > 256) Fail("an icon image is at most 256 x 256");
      Bytes img;
      PutHeader(img, w, 2 * h);
      PutRows(img, px, w, h);
      size_t stride = ((static_cast<size_t>(w) + 31) / 32) * 4;
      for (int y = h - 1; y >= 0; --y) {
        Bytes row(stride, 0);
        for (int x = 0; x < w; ++x)
          if ((px[static_cast<size_t>(y) * w + x] >> 24) < 128) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        img.insert(img.end(), row.begin(), row.end());
      }
      images.push_back(img);
      sizes.emplace_back(w, h);
    }
    if (images.empty()) Fail("an icon needs at least one image");
    Put16(group, static_cast<uint32_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
      uint32_t icon_id = next_icon_++;
      group.push_back(static_cast<uint8_t>(sizes[i].first & 0xFF));
      group.push_back(static_cast<uint8_t>(sizes[i].second & 0xFF));
      group.push_back(0);
      group.push_back(0);
      Put16(group, 1);
      Put16(group, 32);
      Put32(group, static_cast<uint32_t>(images[i].size()));
      Put16(group, icon_id);
      out_.push_back({3, icon_id, images[i]});
    }
    out_.push_back({14, id, group});
  }

  // Styles: names joined by '|' (the platform's names) or numbers.
  uint32_t Styles() {
    static const std::map<std::string, uint32_t> names = {
        {"WS_POPUP", 0x80000000}, {"WS_CHILD", 0x40000000}, {"WS_VISIBLE", 0x10000000},
        {"WS_DISABLED", 0x08000000}, {"WS_CLIPSIBLINGS", 0x04000000}, {"WS_CLIPCHILDREN", 0x02000000},
        {"WS_CAPTION", 0x00C00000}, {"WS_BORDER", 0x00800000}, {"WS_DLGFRAME", 0x00400000},
        {"WS_VSCROLL", 0x00200000}, {"WS_HSCROLL", 0x00100000}, {"WS_SYSMENU", 0x00080000},
        {"WS_THICKFRAME", 0x00040000}, {"WS_GROUP", 0x00020000}, {"WS_TABSTOP", 0x00010000},
        {"WS_EX_DLGMODALFRAME", 0x1}, {"WS_EX_TOPMOST", 0x8}, {"WS_EX_TRANSPARENT", 0x20},
        {"WS_EX_TOOLWINDOW", 0x80}, {"WS_EX_CLIENTEDGE", 0x200}, {"WS_EX_STATICEDGE", 0x20000},
        {"WS_EX_CONTROLPARENT", 0x10000}, {"DS_SETFONT", 0x40}, {"DS_MODALFRAME", 0x80},
        {"DS_SETFOREGROUND", 0x200}, {"DS_3DLOOK", 0x4}, {"DS_FIXEDSYS", 0x8}, {"DS_CONTROL", 0x400},
        {"DS_CENTER", 0x800}, {"DS_SHELLFONT", 0x48}, {"BS_PUSHBUTTON", 0x0}, {"BS_DEFPUSHBUTTON", 0x1},
        {"BS_AUTOCHECKBOX", 0x3}, {"BS_AUTORADIOBUTTON", 0x9}, {"BS_GROUPBOX", 0x7},
        {"BS_COMMANDLINK", 0xE}, {"ES_LEFT", 0x0}, {"ES_PASSWORD", 0x20}, {"ES_AUTOHSCROLL", 0x80},
        {"SS_LEFT", 0x0}, {"SS_CENTER", 0x1}, {"SS_RIGHT", 0x2}, {"SS_ICON", 0x3}, {"SS_OWNERDRAW", 0xD},
        {"SS_NOTIFY", 0x100}, {"SS_NOPREFIX", 0x80}, {"SS_ETCHEDHORZ", 0x10}, {"SS_CENTERIMAGE", 0x200},
        {"ACS_CENTER", 0x1}, {"ACS_TRANSPARENT", 0x2}, {"ACS_AUTOPLAY", 0x4}, {"PBS_MARQUEE", 0x8},
        {"LWS_TRANSPARENT", 0x1}};
    std::string w = Word();
    uint32_t v = 0;
    size_t start = 0;
    for (;;) {
      size_t bar = w.find('|', start);
      std::string part = w.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
      auto it = names.find(part);
      if (it != names.end()) {
        v |= it->second;
      } else {
        char* end;
        unsigned long n = std::strtoul(part.c_str(), &end, 0);
        if (part.empty() || *end != 0) Fail("unknown style '" + part + "'");
        v |= static_cast<uint32_t>(n);
      }
      if (bar == std::string::npos) return v;
      start = bar + 1;
    }
  }
  int16_t Coordinate() {
    std::string w = Word();
    char* end;
    long v = std::strtol(w.c_str(), &end, 0);
    if (*end != 0 || v < -32768 || v > 32767) Fail("expected a coordinate in dialog units, found '" + w + "'");
    return static_cast<int16_t>(v);
  }
  static void Align4(Bytes& b) {
    while (b.size() % 4) b.push_back(0);
  }
  // A name or ordinal: 0xFFFF and the ordinal, or the terminated text.
  static void PutNameOrOrdinal(Bytes& b, const std::string& s) {
    static const std::map<std::string, uint16_t> atoms = {{"Button", 0x80}, {"Edit", 0x81}, {"Static", 0x82},
                                                         {"ListBox", 0x83}, {"ScrollBar", 0x84}, {"ComboBox", 0x85}};
    auto it = atoms.find(s);
    if (it != atoms.end()) {
      Put16(b, 0xFFFF);
      Put16(b, it->second);
    } else if (!s.empty() && s[0] == '#') {
      Put16(b, 0xFFFF);
      Put16(b, static_cast<uint32_t>(std::strtoul(s.c_str() + 1, nullptr, 10)));
    } else {
      PutText(b, Utf16(s), true);
    }
  }
  // dialog[ex] ID x y cx cy "caption" STYLE EXSTYLE [font POINTS WEIGHT "face"]
  //   control "text" ID "class" STYLE EXSTYLE x y cx cy   ("#n" as text: an icon ordinal)
  // end
  void Dialog(bool ex) {
    uint32_t id = Number();
    int16_t x = Coordinate(), y = Coordinate(), cx = Coordinate(), cy = Coordinate();
    std::u16string caption = Utf16(Quoted());
    uint32_t style = Styles(), ex_style = Styles();
    uint16_t points = 0, weight = 0;
    std::u16string face;
    bool font = !AtEnd() && !Peek().quoted && Peek().text == "font";
    if (font) {
      ++pos_;
      points = static_cast<uint16_t>(Number());
      weight = static_cast<uint16_t>(Coordinate());
      face = Utf16(Quoted());
      style |= 0x40;  // DS_SETFONT
    }
    struct Control {
      std::string text, cls;
      uint32_t id, style, ex_style;
      int16_t x, y, cx, cy;
    };
    std::vector<Control> controls;
    for (;;) {
      std::string kw = Word();
      if (kw == "end") break;
      if (kw != "control") Fail("expected control or end, found '" + kw + "'");
      Control c;
      c.text = Quoted();
      c.id = static_cast<uint32_t>(static_cast<int32_t>(Coordinate()));  // -1: 0xFFFFFFFF in the EX form
      c.cls = Quoted();
      c.style = Styles();
      c.ex_style = Styles();
      c.x = Coordinate();
      c.y = Coordinate();
      c.cx = Coordinate();
      c.cy = Coordinate();
      controls.push_back(c);
    }
    Bytes b;
    if (ex) {
      Put16(b, 1);
      Put16(b, 0xFFFF);
      Put32(b, 0);  // help ID
      Put32(b, ex_style);
      Put32(b, style);
    } else {
      Put32(b, style);
      Put32(b, ex_style);
    }
    Put16(b, static_cast<uint32_t>(controls.size()));
    for (int16_t v : {x, y, cx, cy}) Put16(b, static_cast<uint16_t>(v));
    Put16(b, 0);  // no menu
    Put16(b, 0);  // the dialog class
    PutText(b, caption, true);
    if (font) {
      Put16(b, points);
      if (ex) {
        Put16(b, weight);
        b.push_back(0);  // italic
        b.push_back(1);  // DEFAULT_CHARSET
      }
      PutText(b, face, true);
    }
    for (const Control& c : controls) {
      Align4(b);
      if (ex) {
        Put32(b, 0);
        Put32(b, c.ex_style);
        Put32(b, c.style);
      } else {
        Put32(b, c.style);
        Put32(b, c.ex_style);
      }
      for (int16_t v : {c.x, c.y, c.cx, c.cy}) Put16(b, static_cast<uint16_t>(v));
      if (ex)
        Put32(b, c.id);
      else
        Put16(b, c.id & 0xFFFF);
      PutNameOrOrdinal(b, c.cls);
      PutNameOrOrdinal(b, c.text);
      Put16(b, 0);  // no creation data
    }
    out_.push_back({5, id, b});
  }

  std::vector<Token> t_;
  std::string file_, dir_;
  size_t pos_ = 0;
  std::vector<Resource> out_;
  std::map<uint32_t, std::map<int, std::u16string>> strings_;
  uint32_t next_icon_ = 1;
};

Bytes Link(const std::vector<Resource>& rs) {
  Bytes b;
  const char magic[8] = {'S', 'K', 'M', 'R', 'E', 'S', '0', '1'};
  b.insert(b.end(), magic, magic + 8);
  Put32(b, static_cast<uint32_t>(rs.size()));
  size_t offset = 12 + rs.size() * 20;
  Bytes data;
  // Named types follow all the data, each a terminated UTF-16 string at an even offset.
  size_t data_end = offset;
  for (const auto& r : rs) data_end = (data_end + 3) / 4 * 4 + r.data.size();
  data_end = (data_end + 1) / 2 * 2;
  Bytes names;
  std::map<std::u16string, uint32_t> name_at;
  for (const auto& r : rs)
    if (!r.type_name.empty() && !name_at.count(r.type_name)) {
      name_at[r.type_name] = static_cast<uint32_t>(0x10000 + data_end + names.size());
      PutText(names, r.type_name, true);
    }
  for (const auto& r : rs) {
    while ((offset + data.size()) % 4) data.push_back(0);
    Put32(b, r.type_name.empty() ? r.type : name_at[r.type_name]);
    Put32(b, r.name);
    Put16(b, 0x0409);
    Put16(b, 0);
    Put32(b, static_cast<uint32_t>(offset + data.size()));
    Put32(b, static_cast<uint32_t>(r.data.size()));
    data.insert(data.end(), r.data.begin(), r.data.end());
  }
  b.insert(b.end(), data.begin(), data.end());
  while (b.size() < data_end) b.push_back(0);
  b.insert(b.end(), names.begin(), names.end());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: skm_rc SCRIPT OUT.res [OUT.cpp]\n";
    return 2;
  }
  std::string script = argv[1];
  std::ifstream in(script);
  if (!in) Die(script, "cannot read");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string dir = script.find('/') == std::string::npos ? "." : script.substr(0, script.rfind('/'));
  Compiler c(Tokenize(ss.str(), script), script, dir);
  Bytes res = Link(c.Run());
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(res.data()), static_cast<std::streamsize>(res.size()));
  if (!out) Die(argv[2], "cannot write");
  if (argc == 4) {
    std::ofstream cpp(argv[3]);
    cpp << "// Generated by skm_rc from the resource script: the program's compiled resources.\n"
           "#include <cstddef>\n#include <cstdint>\n\n#include \"platform/ui/resource.h\"\n\nnamespace {\n"
           "alignas(4) const uint8_t kResources[] = {";
    for (size_t i = 0; i < res.size(); ++i) cpp << (i % 16 == 0 ? "\n   " : "") << " " << static_cast<int>(res[i]) << ",";
    cpp << "\n};\n// Registered before main, as the platform maps a program's resources with its image.\n"
           "const bool kRegistered = (win32::ui::RegisterProgramResources(kResources, sizeof kResources), true);\n"
           "}  // namespace\n";
    if (!cpp) Die(argv[3], "cannot write");
  }
  return 0;
}
