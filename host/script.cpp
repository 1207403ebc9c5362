#include "host/script.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/paths.h"

namespace qmhost {

namespace {

// 64-bit FNV-1a: a stable name for a text.
std::string TextHash(const std::string& text) {
  uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001B3ULL;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "text:%016llx", static_cast<unsigned long long>(h));
  return buf;
}

}  // namespace

Script::Script(std::string text, std::string hash)
    : text_(std::move(text)), hash_(std::move(hash)) {}

Ref<Script> Script::FromFile(const std::string& path, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return {};
  }
  if (S_ISDIR(info.st_mode)) {
    *error = "cannot read " + path + ": it is a folder";
    return {};
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return {};
  }
  std::string text;
  char chunk[8192];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  bool failed = std::ferror(file) != 0;
  int err = errno;
  std::fclose(file);
  if (failed) {
    *error = "cannot read " + path + ": " + std::strerror(err);
    return {};
  }
  size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string folder = FolderOf(path);
  std::string full = folder == "/" ? folder + base : folder + "/" + base;
  Ref<Script> script(new Script(std::move(text), full));
  script->userName_.Set(base.c_str());
  return script;
}

Ref<Script> Script::FromText(std::string text, const char* userName, std::string hash) {
  if (hash.empty()) hash = TextHash(text);
  Ref<Script> script(new Script(std::move(text), std::move(hash)));
  if (userName != nullptr) {
    script->userName_.Set(userName);
  }
  return script;
}

QmResult Script::OptionalText::Get(const char** out) const {
  *out = set ? text.c_str() : nullptr;
  return set ? QMe_OK : QMe_NOTFOUND;
}

void Script::OptionalText::Set(const char* value) {
  set = value != nullptr;
  text = value != nullptr ? value : "";
}

QmResult Script::scr_Hash(const char** hash) {
  if (hash == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  *hash = hash_.c_str();
  return QMe_OK;
}

QmResult Script::scr_UserName(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  return userName_.Get(name);
}

QmResult Script::scr_SetUserName(const char* name) {
  std::lock_guard<std::mutex> hold(lock_);
  userName_.Set(name);
  return QMe_OK;
}

QmResult Script::scr_Desc(const char** desc) {
  if (desc == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  return desc_.Get(desc);
}

QmResult Script::scr_SetDesc(const char* desc) {
  std::lock_guard<std::mutex> hold(lock_);
  desc_.Set(desc);
  return QMe_OK;
}

QmResult Script::scr_Icon(const char** icon) {
  if (icon == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  return icon_.Get(icon);
}

QmResult Script::scr_HelpKey(const char* key, const char** help) {
  if (key == nullptr || help == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  auto it = help_.find(key);
  if (it == help_.end()) {
    *help = nullptr;
    return QMe_NOTFOUND;
  }
  *help = it->second.c_str();
  return QMe_OK;
}

// Scripts read by the reference host belong to no script manager.
QmResult Script::scr_Manager(void** manager) {
  if (manager != nullptr) *manager = nullptr;
  return QMe_NOTIMPL;
}

QmResult Script::scr_GetBuffer(const char** buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  *buffer = text_.c_str();
  *length = static_cast<uint32_t>(text_.size());
  return QMe_OK;
}

QmResult Script::scr_SetBuffer(const char* buffer, uint32_t length) {
  if (buffer == nullptr && length != 0) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  text_.assign(buffer != nullptr ? buffer : "", length);
  return QMe_OK;
}

std::string Script::Hash() {
  std::lock_guard<std::mutex> hold(lock_);
  return hash_;
}

std::string Script::Text() {
  std::lock_guard<std::mutex> hold(lock_);
  return text_;
}

std::string Script::FirstLine() {
  std::lock_guard<std::mutex> hold(lock_);
  std::string line = text_.substr(0, text_.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool Script::HasUserName() {
  std::lock_guard<std::mutex> hold(lock_);
  return userName_.set;
}

std::string Script::UserName() {
  std::lock_guard<std::mutex> hold(lock_);
  return userName_.text;
}

void Script::SetIcon(const std::string& icon) {
  std::lock_guard<std::mutex> hold(lock_);
  icon_.Set(icon.c_str());
}

void Script::SetHelp(const std::string& key, const std::string& help) {
  std::lock_guard<std::mutex> hold(lock_);
  help_[key] = help;
}

void* Script::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmScript ? face_.get() : nullptr;
}

}  // namespace qmhost
