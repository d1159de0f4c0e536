#include "reg_ini_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "frame_controller.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <fstream>
#include <sstream>
#endif

namespace ctl {

namespace {

// A whole decimal integer (blanks around it allowed) in the long range.
bool parse_long(const std::wstring& s, long* out) {
  size_t a = s.find_first_not_of(L" \t");
  size_t b = s.find_last_not_of(L" \t");
  if (a == std::wstring::npos) return false;
  std::wstring t = s.substr(a, b - a + 1);
  wchar_t* end = nullptr;
  errno = 0;
  long v = std::wcstol(t.c_str(), &end, 10);
  if (errno == ERANGE || end == t.c_str() || *end != 0) return false;
  *out = v;
  return true;
}

// Section and ident must not break the file's or the registry's structure.
bool valid_name(const std::wstring& s) {
  if (s.empty()) return false;
  return s.find_first_of(L"[]=\r\n") == std::wstring::npos && s.find(L'\0') == std::wstring::npos;
}

bool valid_value(const std::wstring& v) {
  return v.find_first_of(L"\r\n") == std::wstring::npos && v.find(L'\0') == std::wstring::npos;
}

#ifdef _WIN32

class ini_store : public settings_store {
 public:
  explicit ini_store(std::wstring file) : file_(std::move(file)) {}
  bool read(const std::wstring& section, const std::wstring& ident, std::wstring* out) override {
    if (!out || !valid_name(section) || !valid_name(ident)) return false;
    // A default no value can equal tells a missing key from an empty one.
    const wchar_t marker[] = L"\x01\x02missing\x03";
    std::vector<wchar_t> buf(2048);
    for (;;) {
      DWORD n = GetPrivateProfileStringW(section.c_str(), ident.c_str(), marker, buf.data(),
                                         static_cast<DWORD>(buf.size()), file_.c_str());
      if (n + 1 >= buf.size() && buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 4);
        continue;
      }
      std::wstring v(buf.data(), n);
      if (v == marker) return false;
      *out = v;
      return true;
    }
  }
  bool write(const std::wstring& section, const std::wstring& ident,
             const std::wstring& value) override {
    if (!valid_name(section) || !valid_name(ident) || !valid_value(value)) return false;
    return WritePrivateProfileStringW(section.c_str(), ident.c_str(), value.c_str(),
                                      file_.c_str()) != FALSE;
  }

 private:
  std::wstring file_;
};

HKEY root_of(TRzRegKey k) {
  switch (k) {
    case hkeyClassesRoot: return HKEY_CLASSES_ROOT;
    case hkeyCurrentUser: return HKEY_CURRENT_USER;
    case hkeyLocalMachine: return HKEY_LOCAL_MACHINE;
    case hkeyUsers: return HKEY_USERS;
    case hkeyPerformanceData: return HKEY_PERFORMANCE_DATA;
    case hkeyCurrentConfig: return HKEY_CURRENT_CONFIG;
    case hkeyDynData: return HKEY_DYN_DATA;
  }
  return nullptr;
}

REGSAM sam_of(unsigned access) {
  REGSAM s = 0;
  if (access & keyQueryValue) s |= KEY_QUERY_VALUE;
  if (access & keySetValue) s |= KEY_SET_VALUE;
  if (access & keyCreateSubKey) s |= KEY_CREATE_SUB_KEY;
  if (access & keyEnumerateSubKeys) s |= KEY_ENUMERATE_SUB_KEYS;
  if (access & keyNotify) s |= KEY_NOTIFY;
  if (access & keyCreateLink) s |= KEY_CREATE_LINK;
  if (access & keyRead) s |= KEY_READ;
  if (access & keyWrite) s |= KEY_WRITE;
  if (access & keyExecute) s |= KEY_EXECUTE;
  if (access & keyAllAccess) s |= KEY_ALL_ACCESS;
  return s;
}

class registry_store : public settings_store {
 public:
  registry_store(HKEY root, REGSAM sam, std::wstring path)
      : root_(root), sam_(sam), path_(std::move(path)) {}
  bool read(const std::wstring& section, const std::wstring& ident, std::wstring* out) override {
    if (!out || !valid_name(section) || !valid_name(ident)) return false;
    HKEY k = open(section, false);
    if (!k) return false;
    DWORD type = 0, size = 0;
    bool ok = false;
    if (RegQueryValueExW(k, ident.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
        DWORD have = static_cast<DWORD>((buf.size() - 1) * sizeof(wchar_t));
        if (RegQueryValueExW(k, ident.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                             &have) == ERROR_SUCCESS) {
          *out = std::wstring(buf.data(), wcsnlen(buf.data(), have / sizeof(wchar_t)));
          ok = true;
        }
      } else if (type == REG_DWORD) {
        DWORD v = 0, have = sizeof v;
        if (RegQueryValueExW(k, ident.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &have) ==
            ERROR_SUCCESS) {
          *out = std::to_wstring(static_cast<long>(static_cast<LONG>(v)));
          ok = true;
        }
      }
    }
    RegCloseKey(k);
    return ok;
  }
  bool write(const std::wstring& section, const std::wstring& ident,
             const std::wstring& value) override {
    if (!valid_name(section) || !valid_name(ident) || !valid_value(value)) return false;
    HKEY k = open(section, true);
    if (!k) return false;
    LONG rc = RegSetValueExW(k, ident.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
  }
  bool write_int(const std::wstring& section, const std::wstring& ident, long value) override {
    if (!valid_name(section) || !valid_name(ident)) return false;
    HKEY k = open(section, true);
    if (!k) return false;
    DWORD v = static_cast<DWORD>(static_cast<LONG>(value));
    LONG rc = RegSetValueExW(k, ident.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
  }

 private:
  HKEY open(const std::wstring& section, bool create) {
    // Writing needs the right to set values: without it nothing is made.
    if (create && (sam_ & KEY_SET_VALUE) != KEY_SET_VALUE) return nullptr;
    std::wstring sub = path_;
    while (!sub.empty() && sub.back() == L'\\') sub.pop_back();
    while (!sub.empty() && sub.front() == L'\\') sub.erase(sub.begin());
    if (!sub.empty()) sub += L'\\';
    sub += section;
    HKEY k = nullptr;
    // Keys are made only with the right to make them; without it an
    // existing key is opened.
    if (create && !(sam_ & KEY_CREATE_SUB_KEY)) create = false;
    LONG rc = create ? RegCreateKeyExW(root_, sub.c_str(), 0, nullptr, 0, sam_, nullptr, &k, nullptr)
                     : RegOpenKeyExW(root_, sub.c_str(), 0, sam_, &k);
    return rc == ERROR_SUCCESS ? k : nullptr;
  }
  HKEY root_;
  REGSAM sam_;
  std::wstring path_;
};

#else  // no Windows: the INI file read and written here, in UTF-8

bool same_text(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
      return false;
  return true;
}


std::string to_utf8(const std::wstring& w) {
  std::string s;
  for (wchar_t wc : w) {
    auto c = static_cast<unsigned long>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

std::wstring from_utf8(const std::string& s) {
  std::wstring w;
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    int more = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    unsigned long c = more == 0 ? b : more == 1 ? (b & 0x1F) : more == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = more >= 0;
    if (ok) {
      for (int k = 1; k <= more; ++k) {
        if (i + static_cast<size_t>(k) >= s.size()) { ok = false; break; }
        auto n = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
        if ((n & 0xC0) != 0x80) { ok = false; break; }
        c = (c << 6) | (n & 0x3F);
      }
    }
    if (!ok) {
      w += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    w += static_cast<wchar_t>(c);
    i += static_cast<size_t>(more) + 1;
  }
  return w;
}

std::wstring trim(const std::wstring& s) {
  size_t a = s.find_first_not_of(L" \t");
  if (a == std::wstring::npos) return L"";
  size_t b = s.find_last_not_of(L" \t");
  return s.substr(a, b - a + 1);
}

// The section a line opens ("[name]"), or false.
bool section_line(const std::wstring& line, std::wstring* name) {
  std::wstring t = trim(line);
  if (t.size() < 2 || t.front() != L'[' || t.back() != L']') return false;
  *name = trim(t.substr(1, t.size() - 2));
  return true;
}

// A "key=value" line.
bool key_line(const std::wstring& line, std::wstring* key, std::wstring* value) {
  size_t eq = line.find(L'=');
  if (eq == std::wstring::npos) return false;
  *key = trim(line.substr(0, eq));
  *value = trim(line.substr(eq + 1));
  if (value->size() >= 2 && value->front() == L'"' && value->back() == L'"')
    *value = value->substr(1, value->size() - 2);
  return !key->empty();
}

class ini_store : public settings_store {
 public:
  explicit ini_store(std::wstring file) : file_(to_utf8(file)) {}
  bool read(const std::wstring& section, const std::wstring& ident, std::wstring* out) override {
    if (!out || !valid_name(section) || !valid_name(ident)) return false;
    std::vector<std::wstring> lines;
    if (!load(&lines)) return false;
    bool in = false;
    for (const std::wstring& l : lines) {
      std::wstring name, key, value;
      if (section_line(l, &name)) {
        if (in) return false;  // the first section of that name only
        in = same_text(name, section);
      } else if (in && key_line(l, &key, &value) && same_text(key, ident)) {
        *out = value;
        return true;
      }
    }
    return false;
  }
  bool write(const std::wstring& section, const std::wstring& ident,
             const std::wstring& value) override {
    if (!valid_name(section) || !valid_name(ident) || !valid_value(value)) return false;
    std::vector<std::wstring> lines;
    load(&lines);  // a missing file is made
    std::wstring entry = ident + L"=" + value;
    bool in = false, done = false;
    size_t last_in = 0;
    bool found_section = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
      std::wstring name, key, v;
      if (section_line(lines[i], &name)) {
        if (in) break;
        in = same_text(name, section);
        if (in) {
          found_section = true;
          last_in = i;
        }
      } else if (in) {
        if (!trim(lines[i]).empty()) last_in = i;
        if (key_line(lines[i], &key, &v) && same_text(key, ident)) {
          lines[i] = entry;
          done = true;
        }
      }
    }
    if (!done) {
      if (found_section) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_in) + 1, entry);
      } else {
        lines.push_back(L"[" + section + L"]");
        lines.push_back(entry);
      }
    }
    std::ofstream f(file_, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    for (const std::wstring& l : lines) f << to_utf8(l) << "\r\n";
    f.flush();
    return static_cast<bool>(f);
  }

 private:
  bool load(std::vector<std::wstring>* lines) const {
    std::ifstream f(file_, std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    std::string all = ss.str();
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0) all.erase(0, 3);
    std::wstring w = from_utf8(all);
    size_t start = 0;
    while (start < w.size()) {
      size_t end = w.find(L'\n', start);
      if (end == std::wstring::npos) end = w.size();
      std::wstring l = w.substr(start, end - start);
      if (!l.empty() && l.back() == L'\r') l.pop_back();
      lines->push_back(l);
      start = end + 1;
    }
    return true;
  }
  std::string file_;
};

#endif

}  // namespace

bool settings_store::read_int(const std::wstring& section, const std::wstring& ident, long* out) {
  std::wstring s;
  long v = 0;
  if (!out || !read(section, ident, &s) || !parse_long(s, &v)) return false;
  *out = v;
  return true;
}

bool settings_store::write_int(const std::wstring& section, const std::wstring& ident, long value) {
  return write(section, ident, std::to_wstring(value));
}

std::unique_ptr<settings_store> make_ini_store(const std::wstring& file) {
  if (file.empty()) return nullptr;
  return std::make_unique<ini_store>(file);
}

#ifdef _WIN32

std::unique_ptr<settings_store> make_registry_store(TRzRegKey root, unsigned access,
                                                    const std::wstring& path) {
  HKEY r = root_of(root);
  if (!r) return nullptr;
  return std::make_unique<registry_store>(r, sam_of(access), path);
}

bool special_folder_path(TRzSpecialFolder folder, std::wstring* out) {
  int csidl = -1;
  switch (folder) {
    case sfNone: return false;
    case sfUserAppDataRoaming: csidl = CSIDL_APPDATA; break;
    case sfUserAppDataLocal: csidl = CSIDL_LOCAL_APPDATA; break;
    case sfUserDocuments: csidl = CSIDL_PERSONAL; break;
    case sfProgramData: csidl = CSIDL_COMMON_APPDATA; break;
  }
  wchar_t buf[MAX_PATH] = {};
  if (csidl < 0 || FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return false;
  *out = buf;
  return true;
}

#else

std::unique_ptr<settings_store> make_registry_store(TRzRegKey, unsigned, const std::wstring&) {
  return nullptr;
}

bool special_folder_path(TRzSpecialFolder, std::wstring*) { return false; }

#endif

reg_ini_file::~reg_ini_file() {
  std::vector<frame_controller*> r;
  r.swap(referrers_);
  for (frame_controller* c : r) c->reg_ini_file_freed(this);
}

void reg_ini_file::set_Path(const std::wstring& v) {
  if (v != path_) { path_ = v; recreate = true; }
}
void reg_ini_file::set_PathType(TRzPathType v) {
  if (v != path_type_) { path_type_ = v; recreate = true; }
}
void reg_ini_file::set_RegKey(TRzRegKey v) {
  if (v != reg_key_) { reg_key_ = v; recreate = true; }
}
void reg_ini_file::set_RegAccess(unsigned v) {
  if (v != access_) { access_ = v; recreate = true; }
}
void reg_ini_file::set_SpecialFolder(TRzSpecialFolder v) {
  if (v != folder_) { folder_ = v; recreate = true; }
}

std::wstring reg_ini_file::ini_file_name() const {
  if (path_.empty()) return L"";
  if (folder_ == sfNone) return path_;
  std::wstring base;
  if (!special_folder_path(folder_, &base)) return L"";
#ifdef _WIN32
  const wchar_t sep = L'\\';
#else
  const wchar_t sep = L'/';
#endif
  std::wstring rest = path_;
  while (!rest.empty() && (rest.front() == L'\\' || rest.front() == L'/')) rest.erase(rest.begin());
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += sep;
  return base + rest;
}

void reg_ini_file::refresh() {
  if (!recreate) return;
  ini_ = make_ini_store(ini_file_name());
  registry_ = make_registry_store(reg_key_, access_, path_);
  recreate = false;
}

settings_store* reg_ini_file::ini() {
  refresh();
  return ini_.get();
}

settings_store* reg_ini_file::registry() {
  refresh();
  return registry_.get();
}

settings_store* reg_ini_file::current() { return path_type_ == ptIniFile ? ini() : registry(); }

std::wstring reg_ini_file::ReadString(const std::wstring& section, const std::wstring& ident,
                                      const std::wstring& def) {
  settings_store* s = current();
  std::wstring v;
  return (s && s->read(section, ident, &v)) ? v : def;
}

bool reg_ini_file::WriteString(const std::wstring& section, const std::wstring& ident,
                               const std::wstring& value) {
  settings_store* s = current();
  return s && s->write(section, ident, value);
}

long reg_ini_file::ReadInteger(const std::wstring& section, const std::wstring& ident, long def) {
  settings_store* s = current();
  long v = 0;
  return (s && s->read_int(section, ident, &v)) ? v : def;
}

bool reg_ini_file::WriteInteger(const std::wstring& section, const std::wstring& ident, long value) {
  settings_store* s = current();
  return s && s->write_int(section, ident, value);
}

bool reg_ini_file::ReadBool(const std::wstring& section, const std::wstring& ident, bool def) {
  return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

bool reg_ini_file::WriteBool(const std::wstring& section, const std::wstring& ident, bool value) {
  return WriteInteger(section, ident, value ? 1 : 0);
}

}  // namespace ctl
