// The registry/INI location component: its settings, the location they
// name, and values written there and read back, also by another reader
// (the file's bytes; under Windows the platform's profile and registry
// functions).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "reg_ini_file.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

using namespace ctl;
namespace fs = std::filesystem;

namespace {

class temp_dir {
 public:
  temp_dir() {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path = fs::temp_directory_path() / ("regini-" + std::to_string(stamp));
    fs::create_directories(path);
  }
  ~temp_dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

std::string file_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(RegIniFile, ChangesSetTheRecreateFlagAndTheNextUseTakesTheNewPlace) {
  temp_dir d;
  reg_ini_file r;
  EXPECT_TRUE(r.recreate);
  r.set_Path((d.path / "a.ini").wstring());
  ASSERT_NE(r.ini(), nullptr);
  EXPECT_FALSE(r.recreate);
  r.set_PathType(ptIniFile);  // the same value: nothing to make again
  r.set_RegKey(hkeyCurrentUser);
  r.set_SpecialFolder(sfNone);
  r.set_RegAccess(keyAllAccess);
  EXPECT_FALSE(r.recreate);
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"first"));
  r.set_Path((d.path / "b.ini").wstring());
  EXPECT_TRUE(r.recreate);
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"none"), L"none");  // the new file
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"second"));
  r.set_Path((d.path / "a.ini").wstring());
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"none"), L"first");
  EXPECT_TRUE(fs::exists(d.path / "b.ini"));
  for (auto change : {+[](reg_ini_file& x) { x.set_PathType(ptRegistry); },
                      +[](reg_ini_file& x) { x.set_RegKey(hkeyLocalMachine); },
                      +[](reg_ini_file& x) { x.set_RegAccess(keyRead); },
                      +[](reg_ini_file& x) { x.set_SpecialFolder(sfUserDocuments); }}) {
    r.ini();
    ASSERT_FALSE(r.recreate);
    change(r);
    EXPECT_TRUE(r.recreate);
  }
}

TEST(RegIniFile, IniValuesReadAndWritten) {
  temp_dir d;
  fs::path file = d.path / "settings.ini";
  reg_ini_file r;
  r.set_Path(file.wstring());
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"def"), L"def");  // no file yet
  EXPECT_EQ(r.ReadInteger(L"Main", L"Count", 7), 7);
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"token one"));
  ASSERT_TRUE(r.WriteInteger(L"Main", L"Count", -42));
  ASSERT_TRUE(r.WriteBool(L"Other", L"On", true));
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"token two"));  // replaced, not added
  EXPECT_EQ(r.ReadString(L"main", L"NAME", L""), L"token two");  // names ignore case
  EXPECT_EQ(r.ReadInteger(L"Main", L"Count", 0), -42);
  EXPECT_TRUE(r.ReadBool(L"Other", L"On", false));
  EXPECT_FALSE(r.ReadBool(L"Other", L"Off", false));
  // Not a number: the default, not 0.
  ASSERT_TRUE(r.WriteString(L"Main", L"Bad", L"12abc"));
  EXPECT_EQ(r.ReadInteger(L"Main", L"Bad", 5), 5);
  // An empty value is a value.
  ASSERT_TRUE(r.WriteString(L"Main", L"Empty", L""));
  EXPECT_EQ(r.ReadString(L"Main", L"Empty", L"def"), L"");

  // The file as any other reader sees it.
  std::string text = file_text(file);
  EXPECT_NE(text.find("[Main]"), std::string::npos) << text;
  EXPECT_NE(text.find("Name=token two"), std::string::npos) << text;
  EXPECT_EQ(text.find("token one"), std::string::npos) << text;
  EXPECT_NE(text.find("Count=-42"), std::string::npos) << text;
  EXPECT_NE(text.find("[Other]"), std::string::npos) << text;
  EXPECT_NE(text.find("On=1"), std::string::npos) << text;
  // Count stays in its own section, before [Other].
  EXPECT_LT(text.find("Count=-42"), text.find("[Other]")) << text;
}

TEST(RegIniFile, ValuesWrittenByOthersAreRead) {
  temp_dir d;
  fs::path file = d.path / "given.ini";
  {
    std::ofstream f(file, std::ios::binary);
    f << "; a comment\r\n[First]\r\n  Key = spaced value  \r\nNum=0012\r\n[Second]\r\nKey=two\r\n";
  }
  reg_ini_file r;
  r.set_Path(file.wstring());
  EXPECT_EQ(r.ReadString(L"First", L"Key", L""), L"spaced value");
  EXPECT_EQ(r.ReadInteger(L"First", L"Num", 0), 12);
  EXPECT_EQ(r.ReadString(L"Second", L"Key", L""), L"two");
  EXPECT_EQ(r.ReadString(L"Second", L"Num", L"none"), L"none");  // not taken from [First]
  ASSERT_TRUE(r.WriteString(L"First", L"Added", L"x"));
  EXPECT_EQ(r.ReadString(L"Second", L"Key", L""), L"two");
  EXPECT_EQ(r.ReadString(L"First", L"Added", L""), L"x");
  EXPECT_NE(file_text(file).find("; a comment"), std::string::npos);
}

TEST(RegIniFile, BadNamesAndNoLocationAreRefused) {
  temp_dir d;
  fs::path file = d.path / "x.ini";
  reg_ini_file r;
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));  // no path
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"def"), L"def");
  r.set_Path(file.wstring());
  struct row {
    const wchar_t* section;
    const wchar_t* ident;
    const wchar_t* value;
  } rows[] = {
      {L"", L"Name", L"v"},           {L"Main", L"", L"v"},
      {L"Ma]in", L"Name", L"v"},      {L"Main", L"Na=me", L"v"},
      {L"Main", L"Name", L"two\nlines"}, {L"Main\r\n[Evil", L"Name", L"v"},
  };
  for (const row& w : rows) EXPECT_FALSE(r.WriteString(w.section, w.ident, w.value)) << w.section << "/" << w.ident;
  EXPECT_FALSE(fs::exists(file) && file_text(file).find("Evil") != std::string::npos);
  // A folder that does not exist: the write fails, nothing is made.
  r.set_Path((d.path / "missing" / "x.ini").wstring());
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));
  EXPECT_FALSE(fs::exists(d.path / "missing"));
}

#ifdef _WIN32

const wchar_t test_key[] = L"Software\\SolvantaControlsTest";

struct registry_cleanup {
  ~registry_cleanup() { RegDeleteTreeW(HKEY_CURRENT_USER, test_key); }
};

TEST(RegIniFile, RegistryValuesReadAndWritten) {
  registry_cleanup clean;
  RegDeleteTreeW(HKEY_CURRENT_USER, test_key);
  reg_ini_file r;
  r.set_PathType(ptRegistry);
  r.set_Path(std::wstring(test_key) + L"\\App");
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"def"), L"def");
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"in the registry"));
  ASSERT_TRUE(r.WriteInteger(L"Main", L"Count", 300));
  // Read by the platform's own functions: a string and a number.
  std::wstring sub = std::wstring(test_key) + L"\\App\\Main";
  wchar_t buf[64] = {};
  DWORD size = sizeof buf;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), L"Name", RRF_RT_REG_SZ, nullptr, buf, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, L"in the registry");
  DWORD n = 0;
  size = sizeof n;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), L"Count", RRF_RT_REG_DWORD, nullptr, &n, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(n, 300u);
  // Written by them, read here; a numeric string reads as an integer too.
  const wchar_t other[] = L"42";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, sub.c_str(), L"Text", REG_SZ, other, sizeof other),
            ERROR_SUCCESS);
  EXPECT_EQ(r.ReadInteger(L"Main", L"Text", 0), 42);
  EXPECT_EQ(r.ReadInteger(L"Main", L"Count", 0), 300);
  EXPECT_EQ(r.ReadString(L"Main", L"Count", L""), L"300");
  // The INI object of the same component names no registry value.
  r.set_PathType(ptIniFile);
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"def"), L"def");
}

TEST(RegIniFile, RegistryAccessAndRootAreTheOnesNamed) {
  registry_cleanup clean;
  reg_ini_file r;
  r.set_PathType(ptRegistry);
  r.set_Path(std::wstring(test_key) + L"\\Access");
  r.set_RegAccess(keyRead);  // reading only: nothing is created or written
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));
  HKEY k = nullptr;
  std::wstring sub = std::wstring(test_key) + L"\\Access\\Main";
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
  r.set_RegAccess(keyAllAccess);
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"v"));
  r.set_RegAccess(keyRead);
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L""), L"v");
  // The same path under another root is another place.
  r.set_RegKey(hkeyUsers);
  EXPECT_EQ(r.ReadString(L"Main", L"Name", L"def"), L"def");
  r.set_RegKey(hkeyDynData);  // no such root on this platform: refused, no crash
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));
}

TEST(RegIniFile, SpecialFolderNamesTheIniFile) {
  wchar_t base[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)));
  reg_ini_file r;
  r.set_SpecialFolder(sfUserAppDataRoaming);
  r.set_Path(L"solvanta-regini-test.ini");
  EXPECT_EQ(r.ini_file_name(), std::wstring(base) + L"\\solvanta-regini-test.ini");
  ASSERT_TRUE(r.WriteString(L"Main", L"Name", L"roaming"));
  wchar_t got[64] = {};
  GetPrivateProfileStringW(L"Main", L"Name", L"", got, 64, r.ini_file_name().c_str());
  EXPECT_STREQ(got, L"roaming");
  DeleteFileW(r.ini_file_name().c_str());
}

#else

TEST(RegIniFile, NoRegistryOrSpecialFolderHereIsRefused) {
  reg_ini_file r;
  r.set_PathType(ptRegistry);
  r.set_Path(L"Software\\X");
  EXPECT_EQ(r.registry(), nullptr);
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));
  EXPECT_EQ(r.ReadInteger(L"Main", L"Name", 3), 3);
  r.set_PathType(ptIniFile);
  r.set_SpecialFolder(sfUserAppDataRoaming);
  EXPECT_EQ(r.ini_file_name(), L"");
  EXPECT_FALSE(r.WriteString(L"Main", L"Name", L"v"));
}

#endif

}  // namespace
