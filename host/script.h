// A script as the host hands it to a script interpreter: its text, the
// name the user knows it by, and a hash that identifies it.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "host/object.h"
#include "qm_impl_script.h"

namespace qmhost {

class Script : public HostObject, public CQmImpl_Script {
 public:
  // A script read from a file: the user name is the file's base name, the
  // hash its absolute path, the buffer its whole text.  Null with a message
  // when the file cannot be read.
  static Ref<Script> FromFile(const std::string& path, std::string* error);

  // A script held in memory.  Without a user name (null), UserName answers
  // QMe_NOTFOUND.  Without a hash, one is made from the text.
  static Ref<Script> FromText(std::string text, const char* userName = nullptr,
                              std::string hash = {});

  QmResult scr_Hash(const char** hash) override;
  QmResult scr_UserName(const char** name) override;
  QmResult scr_SetUserName(const char* name) override;
  QmResult scr_Desc(const char** desc) override;
  QmResult scr_SetDesc(const char* desc) override;
  QmResult scr_Icon(const char** icon) override;
  QmResult scr_HelpKey(const char* key, const char** help) override;
  QmResult scr_Manager(void** manager) override;
  QmResult scr_GetBuffer(const char** buffer, uint32_t* length) override;
  QmResult scr_SetBuffer(const char* buffer, uint32_t length) override;

  std::string Hash();
  std::string Text();
  // The text up to the first line break.
  std::string FirstLine();
  bool HasUserName();
  std::string UserName();
  void SetIcon(const std::string& icon);
  void SetHelp(const std::string& key, const std::string& help);

  // The script as the plug-in sees it (no reference added).
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  Script(std::string text, std::string hash);

  HostFace<IQmScript> face_{this};
  std::mutex lock_;
  std::string text_;
  std::string hash_;
  // A text the script may or may not have.
  struct OptionalText {
    bool set = false;
    std::string text;
    QmResult Get(const char** out) const;  // QMe_NOTFOUND when not set
    void Set(const char* value);           // null unsets
  };
  OptionalText userName_;
  OptionalText desc_;
  OptionalText icon_;
  std::map<std::string, std::string> help_;
};

}  // namespace qmhost
