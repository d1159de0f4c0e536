// TRzRegIniFile: a component that names a location in the registry or in an
// INI file, and reads and writes values there. It owns one INI-file object
// and one registry object, made for the location it names and made again
// after any of its five settings changed.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ctl {

enum TRzPathType { ptIniFile, ptRegistry };
enum TRzRegKey {
  hkeyClassesRoot, hkeyCurrentUser, hkeyLocalMachine, hkeyUsers, hkeyPerformanceData,
  hkeyCurrentConfig, hkeyDynData
};
enum TRzRegAccessBits : unsigned {
  keyQueryValue = 1, keySetValue = 2, keyCreateSubKey = 4, keyEnumerateSubKeys = 8,
  keyNotify = 16, keyCreateLink = 32, keyRead = 64, keyWrite = 128, keyExecute = 256,
  keyAllAccess = 512
};
enum TRzSpecialFolder {
  sfNone, sfUserAppDataRoaming, sfUserAppDataLocal, sfUserDocuments, sfProgramData
};

// One place values live in: sections holding named string values.
class settings_store {
 public:
  virtual ~settings_store() = default;
  // False when the value (or the place) is not there; `out` is then untouched.
  virtual bool read(const std::wstring& section, const std::wstring& ident, std::wstring* out) = 0;
  virtual bool write(const std::wstring& section, const std::wstring& ident,
                     const std::wstring& value) = 0;
  // Integers: the registry keeps them as numbers, an INI file as text.
  virtual bool read_int(const std::wstring& section, const std::wstring& ident, long* out);
  virtual bool write_int(const std::wstring& section, const std::wstring& ident, long value);
};

// An INI file at `file` (section and key names ignore case).
std::unique_ptr<settings_store> make_ini_store(const std::wstring& file);
// A registry key: the root, the sub-key path and the access wanted; sections
// are sub-keys of `path`, idents value names. Null where there is no registry.
std::unique_ptr<settings_store> make_registry_store(TRzRegKey root, unsigned access,
                                                    const std::wstring& path);
// The folder a special-folder setting names; false when the platform has none.
bool special_folder_path(TRzSpecialFolder folder, std::wstring* out);

class frame_controller;

class reg_ini_file {
 public:
  reg_ini_file() = default;
  reg_ini_file(const reg_ini_file&) = delete;
  reg_ini_file& operator=(const reg_ini_file&) = delete;
  ~reg_ini_file();  // controllers that refer to it drop the reference

  const std::wstring& Path() const { return path_; }
  TRzPathType PathType() const { return path_type_; }
  TRzRegKey RegKey() const { return reg_key_; }
  unsigned RegAccess() const { return access_; }
  TRzSpecialFolder SpecialFolder() const { return folder_; }
  void set_Path(const std::wstring& v);
  void set_PathType(TRzPathType v);
  void set_RegKey(TRzRegKey v);
  void set_RegAccess(unsigned v);
  void set_SpecialFolder(TRzSpecialFolder v);
  bool recreate = true;  // set at creation and by every change above

  // The INI file's full name: the special folder (when one is named) and Path.
  std::wstring ini_file_name() const;

  // Values at the location named: in the INI file or under the registry key
  // by PathType. A read of a missing value gives the default; a write
  // reports whether it was stored.
  std::wstring ReadString(const std::wstring& section, const std::wstring& ident,
                          const std::wstring& def);
  bool WriteString(const std::wstring& section, const std::wstring& ident,
                   const std::wstring& value);
  long ReadInteger(const std::wstring& section, const std::wstring& ident, long def);
  bool WriteInteger(const std::wstring& section, const std::wstring& ident, long value);
  bool ReadBool(const std::wstring& section, const std::wstring& ident, bool def);
  bool WriteBool(const std::wstring& section, const std::wstring& ident, bool value);

  // The owned objects, made again when the re-create flag is set; null where
  // the location cannot be named (no path, no such folder or registry).
  settings_store* ini();
  settings_store* registry();

 private:
  friend class frame_controller;
  void refresh();
  settings_store* current();
  std::wstring path_;
  TRzPathType path_type_ = ptIniFile;
  TRzRegKey reg_key_ = hkeyCurrentUser;
  unsigned access_ = keyAllAccess;
  TRzSpecialFolder folder_ = sfNone;
  std::unique_ptr<settings_store> ini_;
  std::unique_ptr<settings_store> registry_;
  std::vector<frame_controller*> referrers_;  // told when this component is freed
};

}  // namespace ctl
