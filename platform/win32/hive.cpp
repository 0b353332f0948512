#include "platform/win32/hive.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace win32::hive {

namespace {

constexpr char kMagic[8] = {'S', 'K', 'M', 'H', 'I', 'V', 'E', 0x1A};

constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

char16_t Upper(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F)) {
    return static_cast<char16_t>(c - 0x20);
  }
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c == 0xFF) return 0x178;
  return c;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutName(std::vector<uint8_t>& out, const std::u16string& name) {
  PutU16(out, static_cast<uint16_t>(name.size()));
  for (char16_t c : name) PutU16(out, c);
}

void PutKey(std::vector<uint8_t>& out, const Key& key) {
  PutName(out, key.name);
  PutU32(out, static_cast<uint32_t>(key.values.size()));
  for (const Value& v : key.values) {
    PutName(out, v.name);
    PutU32(out, v.type);
    PutU32(out, static_cast<uint32_t>(v.data.size()));
    out.insert(out.end(), v.data.begin(), v.data.end());
  }
  PutU32(out, static_cast<uint32_t>(key.subkeys.size()));
  for (const Key& k : key.subkeys) PutKey(out, k);
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool Key(hive::Key* key, size_t depth, bool root) {
    if (depth > kMaxDepth) return Error("keys nested deeper than the registry allows");
    if (!Name(&key->name)) return false;
    if (root ? !key->name.empty() : !ValidKeyName(key->name)) {
      return Error("a key with an invalid name");
    }
    uint32_t count = 0;
    if (!U32(&count)) return false;
    // Each value takes at least 10 bytes: a count beyond what is left is damage, and must
    // not become a huge allocation.
    if (count > Left() / 10) return Error("more values than the file can hold");
    key->values.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      Value& v = key->values[i];
      if (!Name(&v.name)) return false;
      if (v.name.size() > kMaxValueNameChars) return Error("a value name that is too long");
      for (uint32_t j = 0; j < i; ++j) {
        if (SameName(key->values[j].name, v.name)) return Error("a value stored twice");
      }
      uint32_t length = 0;
      if (!U32(&v.type) || !U32(&length)) return false;
      if (length > Left()) return Error("value data runs past the end");
      v.data.assign(p_, p_ + length);
      p_ += length;
    }
    if (!U32(&count)) return false;
    if (count > Left() / 10) return Error("more keys than the file can hold");
    key->subkeys.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      if (!Key(&key->subkeys[i], depth + 1, false)) return false;
      for (uint32_t j = 0; j < i; ++j) {
        if (SameName(key->subkeys[j].name, key->subkeys[i].name)) return Error("a key stored twice");
      }
    }
    return true;
  }

  bool AtEnd() const { return p_ == end_; }
  const std::string& error() const { return error_; }
  bool Error(const char* what) {
    error_ = what;
    return false;
  }

 private:
  size_t Left() const { return static_cast<size_t>(end_ - p_); }

  static bool ValidKeyName(const std::u16string& name) {
    if (name.empty() || name.size() > kMaxKeyNameChars) return false;
    for (char16_t c : name) {
      if (c == 0 || c == u'\\') return false;
    }
    return true;
  }

  bool U32(uint32_t* v) {
    if (Left() < 4) return Error("the file ends inside a key");
    *v = GetU32(p_);
    p_ += 4;
    return true;
  }

  bool Name(std::u16string* name) {
    if (Left() < 2) return Error("the file ends inside a key");
    const size_t n = p_[0] | (p_[1] << 8);
    p_ += 2;
    if (Left() < 2 * n) return Error("a name runs past the end");
    name->resize(n);
    for (size_t i = 0; i < n; ++i) (*name)[i] = static_cast<char16_t>(p_[2 * i] | (p_[2 * i + 1] << 8));
    p_ += 2 * n;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* const end_;
  std::string error_;
};

void Append(std::u16string& out, std::string_view ascii) { out.append(ascii.begin(), ascii.end()); }

// A string in the quoted form: the text, without its one terminating NUL.
bool QuotedForm(const Value& v, std::u16string* text) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  const size_t n = v.data.size() / 2 - 1;
  text->clear();
  for (size_t i = 0; i <= n; ++i) {
    const char16_t c = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    if (i == n) return c == 0;
    // A line break cannot be given inside quotes.
    if (c == 0 || c == u'\r' || c == u'\n') return false;
    text->push_back(c);
  }
  return false;
}

void AppendQuoted(std::u16string& out, std::u16string_view text) {
  out.push_back(u'"');
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
  out.push_back(u'"');
}

// hex bytes, wrapped as the registry editor wraps them: lines of at most 80 columns, each
// continued line ending in a backslash and the next one indented by two spaces.
void AppendHex(std::u16string& out, size_t line_start, const std::vector<uint8_t>& data) {
  size_t column = out.size() - line_start;
  for (size_t i = 0; i < data.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    Append(out, buf);
    column += 2;
    if (i + 1 < data.size()) {
      out.push_back(u',');
      ++column;
      if (column > 76) {
        Append(out, "\\\r\n  ");
        column = 2;
      }
    }
  }
}

void ExportKey(std::u16string& out, const Key& key, const std::u16string& path) {
  out += u"[";
  out += path;
  out += u"]\r\n";
  for (const Value& v : key.values) {
    const size_t line_start = out.size();
    if (v.name.empty()) {
      out.push_back(u'@');
    } else {
      AppendQuoted(out, v.name);
    }
    out.push_back(u'=');
    std::u16string text;
    if (QuotedForm(v, &text)) {
      AppendQuoted(out, text);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "dword:%08x", GetU32(v.data.data()));
      Append(out, buf);
    } else {
      char buf[24];
      if (v.type == REG_BINARY) {
        std::snprintf(buf, sizeof buf, "hex:");
      } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
      }
      Append(out, buf);
      AppendHex(out, line_start, v.data);
    }
    out += u"\r\n";
  }
  out += u"\r\n";
  for (const Key& k : key.subkeys) ExportKey(out, k, path + u"\\" + k.name);
}

}  // namespace

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

Key* FindSubkey(Key& key, std::u16string_view name) {
  for (Key& k : key.subkeys) {
    if (SameName(k.name, name)) return &k;
  }
  return nullptr;
}

const Key* FindSubkey(const Key& key, std::u16string_view name) {
  for (const Key& k : key.subkeys) {
    if (SameName(k.name, name)) return &k;
  }
  return nullptr;
}

Value* FindValue(Key& key, std::u16string_view name) {
  for (Value& v : key.values) {
    if (SameName(v.name, name)) return &v;
  }
  return nullptr;
}

Key* FindPath(Key& root, const std::vector<std::u16string>& path) {
  Key* k = &root;
  for (const auto& name : path) {
    k = FindSubkey(*k, name);
    if (k == nullptr) return nullptr;
  }
  return k;
}

Key DefaultRoot() {
  Key root;
  Key* k = &root;
  for (const char16_t* name : {u"Software", u"Microsoft", u"Windows", u"CurrentVersion", u"Run"}) {
    k->subkeys.push_back(Key{name, {}, {}});
    k = &k->subkeys.back();
  }
  return root;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> Serialize(const Key& root) {
  std::vector<uint8_t> payload;
  PutKey(payload, root);
  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  PutU32(out, kHiveVersion);
  PutU32(out, static_cast<uint32_t>(payload.size()));
  PutU32(out, Crc32(payload.data(), payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

bool Parse(const uint8_t* data, size_t size, Key* root, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  if (size < kHeaderSize) return fail(size == 0 ? "the file is empty" : "the file is too short");
  if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return fail("not a registry file");
  const uint32_t version = GetU32(data + 8);
  if (version != kHiveVersion) return fail("format version " + std::to_string(version) + " is not known");
  const uint32_t length = GetU32(data + 12);
  if (length != size - kHeaderSize) return fail("the file is cut short or has bytes after its end");
  if (Crc32(data + kHeaderSize, length) != GetU32(data + 16)) return fail("the checksum does not match");
  Key parsed;
  Reader reader(data + kHeaderSize, length);
  if (!reader.Key(&parsed, 0, true)) return fail(reader.error());
  if (!reader.AtEnd()) return fail("bytes after the root key");
  *root = std::move(parsed);
  return true;
}

std::u16string ExportReg(const Key& root, std::u16string_view root_name) {
  std::u16string out = u"Windows Registry Editor Version 5.00\r\n\r\n";
  ExportKey(out, root, std::u16string(root_name));
  return out;
}

std::vector<uint8_t> ExportRegFile(const Key& root, std::u16string_view root_name) {
  const std::u16string text = ExportReg(root, root_name);
  std::vector<uint8_t> out = {0xFF, 0xFE};
  for (char16_t c : text) PutU16(out, c);
  return out;
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<uint8_t>(text[i]);
    uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4;
    }
    if (n > 1) {
      if (i + n > text.size()) {
        n = 1;
      } else {
        c = b & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
          const auto cb = static_cast<uint8_t>(text[i + k]);
          if ((cb & 0xC0) != 0x80) {
            c = 0xFFFD;
            n = k;
            break;
          }
          c = (c << 6) | (cb & 0x3F);
        }
      }
    }
    i += n;
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
    }
  }
  return out;
}

}  // namespace win32::hive
