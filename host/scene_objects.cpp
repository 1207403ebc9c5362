#include "host/scene_objects.h"

#include <algorithm>
#include <cstring>

#include "host/values.h"

namespace qmhost {

const std::vector<ItemChannel>& ItemChannels() {
  static const std::vector<ItemChannel> channels = {
      {"pos.X", "distance"}, {"pos.Y", "distance"}, {"pos.Z", "distance"}, {"rot", "angle"}};
  return channels;
}

const char* TextPool::Keep(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  return texts_.insert(text).first->c_str();
}

QmResult HandOutScene(const std::shared_ptr<Scene>& scene, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  Ref<SceneObject> made(new SceneObject(scene));
  return made->QueryInterface(&IID_IQmScene, out);
}

QmResult HandOutItem(const std::shared_ptr<Scene>& scene, uint64_t id, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  Ref<ItemObject> made(new ItemObject(scene, id));
  return made->QueryInterface(&IID_IQmItem, out);
}

namespace {

constexpr char kIdentPrefix[] = "item:";

std::string IdentOf(uint64_t id) { return kIdentPrefix + std::to_string(id); }

// The id an ident names; 0 when the text is no ident.
uint64_t IdOfIdent(const char* ident) {
  size_t prefix = sizeof kIdentPrefix - 1;
  if (std::strncmp(ident, kIdentPrefix, prefix) != 0) return 0;
  const char* digits = ident + prefix;
  if (*digits < '1' || *digits > '9') return 0;  // no sign, no leading zero
  uint64_t id = 0;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || id > (UINT64_MAX - 9) / 10) return 0;
    id = id * 10 + static_cast<uint64_t>(*c - '0');
  }
  return id;
}

// Scripts name "any type" with the published constant, -1; the host's own
// code for it is 0.
bool IsAnyType(uint32_t type) { return type == kAnyItemType || type == 0xFFFFFFFFU; }

bool KnownOrAny(uint32_t type) { return IsAnyType(type) || ItemTypeOfCode(type) != nullptr; }

bool OfType(const Item& item, uint32_t type) {
  return IsAnyType(type) || ItemTypeCode(item.type) == type;
}

// Reads a type list ended by kAnyItemType.  It names each type at most
// once, so it holds no more codes than there are types: a longer one is
// refused before it is read past its end.
QmResult ReadTypeList(const int32_t* list, std::vector<uint32_t>* types) {
  if (list == nullptr) return QMe_INVALIDARG;
  size_t most = ItemTypes().size();
  for (size_t i = 0;; ++i) {
    if (list[i] == static_cast<int32_t>(kAnyItemType)) return QMe_OK;
    if (i == most) return QMe_INVALIDARG;
    auto code = static_cast<uint32_t>(list[i]);
    if (ItemTypeOfCode(code) == nullptr) return QMe_NOTFOUND;
    if (std::find(types->begin(), types->end(), code) != types->end()) return QMe_INVALIDARG;
    types->push_back(code);
  }
}

bool InList(const Item& item, const std::vector<uint32_t>& types) {
  return std::find(types.begin(), types.end(), ItemTypeCode(item.type)) != types.end();
}

}  // namespace

// --- Items -------------------------------------------------------------------------------

template <class F>
QmResult ItemObject::Read(F&& read) {
  return scene_->Read([&](const SceneState& s) -> QmResult {
    const Item* item = s.ById(id_);
    return item != nullptr ? read(s, *item) : QMe_NOTFOUND;
  });
}

template <class F>
QmResult ItemObject::Change(F&& change) {
  QmResult rc = QMe_NOTFOUND;
  scene_->Change("", false, [&](SceneState& s) {
    Item* item = s.ById(id_);
    rc = item != nullptr ? change(s, *item) : QMe_NOTFOUND;
    return !QmFailed(rc);
  });
  return rc;
}

QmResult ItemObject::item_Name(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState&, const Item& item) {
    *name = texts_.Keep(item.name);
    return QMe_OK;
  });
}

QmResult ItemObject::item_SetName(const char* name) {
  if (name == nullptr || *name == '\0') return QMe_INVALIDARG;
  return Change([&](SceneState& s, Item& item) {
    const Item* other = s.Find(name);
    if (other != nullptr && other != &item) return QMe_ALREADYEXISTS;
    item.name = name;
    return QMe_OK;
  });
}

QmResult ItemObject::item_UniqueName(const char** name) { return item_Name(name); }

QmResult ItemObject::item_Ident(const char** ident) {
  if (ident == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState&, const Item& item) {
    *ident = texts_.Keep(IdentOf(item.id));
    return QMe_OK;
  });
}

uint32_t ItemObject::item_Type() {
  uint32_t type = kAnyItemType;
  Read([&](const SceneState&, const Item& item) {
    type = ItemTypeCode(item.type);
    return QMe_OK;
  });
  return type;
}

QmResult ItemObject::item_TestType(uint32_t type) {
  return Read([&](const SceneState&, const Item& item) {
    if (!KnownOrAny(type)) return QMe_NOTFOUND;
    return OfType(item, type) ? QMe_TRUE : QMe_FALSE;
  });
}

QmResult ItemObject::item_TestTypes(int32_t* types) {
  std::vector<uint32_t> list;
  QmResult rc = ReadTypeList(types, &list);
  if (QmFailed(rc)) return rc;
  return Read([&](const SceneState&, const Item& item) {
    return InList(item, list) ? QMe_TRUE : QMe_FALSE;
  });
}

QmResult ItemObject::item_WasLoaded() {
  return Read([](const SceneState&, const Item&) { return QMe_FALSE; });
}

QmResult ItemObject::item_Context(void** scene) {
  if (scene == nullptr) return QMe_INVALIDARG;
  QmResult rc = Read([](const SceneState&, const Item&) { return QMe_OK; });
  return QmFailed(rc) ? rc : HandOutScene(scene_, scene);
}

QmResult ItemObject::item_Parent(void** parent) {
  if (parent == nullptr) return QMe_INVALIDARG;
  uint64_t found = 0;
  QmResult rc = Read([&](const SceneState& s, const Item& item) {
    if (item.parent == 0 || s.ById(item.parent) == nullptr) return QMe_NOTFOUND;
    found = item.parent;
    return QMe_OK;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, found, parent);
}

QmResult ItemObject::item_SetParent(void* parent) {
  // Asked before the scene is locked: asking someone else's object for an
  // interface may run their code.
  Ref<ItemObject> other;
  if (parent != nullptr) {
    other = HostCast<ItemObject, IQmItem>(parent);
    if (!other || other->scene_ != scene_) return QMe_INVALIDARG;
  }
  uint64_t to = other ? other->id_ : 0;
  return Change([&](SceneState& s, Item& item) {
    if (to != 0) {
      if (s.ById(to) == nullptr) return QMe_NOTFOUND;
      if (s.IsWithin(to, item.id)) return QMe_INVALIDARG;  // itself, or under it
    }
    item.parent = to;
    return QMe_OK;
  });
}

QmResult ItemObject::item_Root(void** root) {
  if (root == nullptr) return QMe_INVALIDARG;
  uint64_t top = 0;
  QmResult rc = Read([&](const SceneState& s, const Item& item) {
    top = item.id;
    for (const Item* up = s.ById(item.parent); up != nullptr; up = s.ById(up->parent)) {
      top = up->id;
    }
    return QMe_OK;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, top, root);
}

QmResult ItemObject::item_SubCount(uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState& s, const Item& item) {
    *count = static_cast<uint32_t>(std::count_if(
        s.items.begin(), s.items.end(), [&](const Item& sub) { return sub.parent == item.id; }));
    return QMe_OK;
  });
}

QmResult ItemObject::item_SubByIndex(uint32_t type, uint32_t index, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  uint64_t found = 0;
  QmResult rc = Read([&](const SceneState& s, const Item& item) {
    if (!KnownOrAny(type)) return QMe_NOTFOUND;
    uint32_t n = 0;
    for (const Item& sub : s.items) {
      if (sub.parent != item.id || !OfType(sub, type)) continue;
      if (n++ == index) {
        found = sub.id;
        return QMe_OK;
      }
    }
    return QMe_OUTOFBOUNDS;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, found, out);
}

QmResult ItemObject::Channel(uint32_t channel, const ItemChannel** found) {
  return Read([&](const SceneState&, const Item&) {
    if (channel >= ItemChannels().size()) return QMe_OUTOFBOUNDS;
    *found = &ItemChannels()[channel];
    return QMe_OK;
  });
}

QmResult ItemObject::item_ChannelCount(uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState&, const Item&) {
    *count = static_cast<uint32_t>(ItemChannels().size());
    return QMe_OK;
  });
}

QmResult ItemObject::item_ChannelName(uint32_t channel, const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  const ItemChannel* found = nullptr;
  QmResult rc = Channel(channel, &found);
  if (!QmFailed(rc)) *name = found->name;
  return rc;
}

QmResult ItemObject::item_ChannelLookup(const char* name, uint32_t* index) {
  if (name == nullptr || index == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState&, const Item&) {
    const auto& channels = ItemChannels();
    for (size_t i = 0; i < channels.size(); ++i) {
      if (std::strcmp(channels[i].name, name) == 0) {
        *index = static_cast<uint32_t>(i);
        return QMe_OK;
      }
    }
    return QMe_NOTFOUND;
  });
}

QmResult ItemObject::item_ChannelType(uint32_t channel, uint32_t* type) {
  if (type == nullptr) return QMe_INVALIDARG;
  const ItemChannel* found = nullptr;
  QmResult rc = Channel(channel, &found);
  if (!QmFailed(rc)) *type = static_cast<uint32_t>(FindValueType(found->type)->kind);
  return rc;
}

QmResult ItemObject::item_ChannelStorageType(uint32_t channel, const char** type) {
  if (type == nullptr) return QMe_INVALIDARG;
  const ItemChannel* found = nullptr;
  QmResult rc = Channel(channel, &found);
  if (!QmFailed(rc)) *type = found->type;
  return rc;
}

QmResult ItemObject::item_GetTag(uint32_t tag, const char** value) {
  if (value == nullptr) return QMe_INVALIDARG;
  return Read([&](const SceneState&, const Item& item) {
    auto it = item.tags.find(tag);
    if (it == item.tags.end()) return QMe_NOTFOUND;
    *value = texts_.Keep(it->second);
    return QMe_OK;
  });
}

QmResult ItemObject::item_SetTag(uint32_t tag, const char* value) {
  return Change([&](SceneState&, Item& item) {
    if (value == nullptr) {
      item.tags.erase(tag);
    } else {
      item.tags[tag] = value;
    }
    return QMe_OK;
  });
}

void* ItemObject::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmItem ? face_.get() : nullptr;
}

// --- Scenes ------------------------------------------------------------------------------

template <class P>
std::vector<uint64_t> SceneObject::Matching(P&& accepts) {
  return scene_->Read([&](const SceneState& s) {
    std::vector<uint64_t> ids;
    for (const Item& item : s.items) {
      if (accepts(item)) ids.push_back(item.id);
    }
    return ids;
  });
}

QmResult SceneObject::Argument(void* item, Ref<ItemObject>* out) {
  Ref<ItemObject> found = HostCast<ItemObject, IQmItem>(item);
  if (!found || found->SceneModel() != scene_) return QMe_INVALIDARG;
  *out = found;
  return QMe_OK;
}

QmResult SceneObject::scn_ItemCount(uint32_t type, uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  if (!KnownOrAny(type)) return QMe_NOTFOUND;
  *count = static_cast<uint32_t>(Matching([&](const Item& i) { return OfType(i, type); }).size());
  return QMe_OK;
}

QmResult SceneObject::scn_ItemByIndex(uint32_t type, uint32_t index, void** item) {
  if (item == nullptr) return QMe_INVALIDARG;
  if (!KnownOrAny(type)) return QMe_NOTFOUND;
  auto ids = Matching([&](const Item& i) { return OfType(i, type); });
  if (index >= ids.size()) return QMe_OUTOFBOUNDS;
  return HandOutItem(scene_, ids[index], item);
}

QmResult SceneObject::scn_ItemCountByTypes(int32_t* types, uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  std::vector<uint32_t> list;
  QmResult rc = ReadTypeList(types, &list);
  if (QmFailed(rc)) return rc;
  *count = static_cast<uint32_t>(Matching([&](const Item& i) { return InList(i, list); }).size());
  return QMe_OK;
}

QmResult SceneObject::scn_ItemByIndexByTypes(int32_t* types, uint32_t index, void** item) {
  if (item == nullptr) return QMe_INVALIDARG;
  std::vector<uint32_t> list;
  QmResult rc = ReadTypeList(types, &list);
  if (QmFailed(rc)) return rc;
  auto ids = Matching([&](const Item& i) { return InList(i, list); });
  if (index >= ids.size()) return QMe_OUTOFBOUNDS;
  return HandOutItem(scene_, ids[index], item);
}

QmResult SceneObject::scn_AnyItemOfType(uint32_t type, void** item) {
  if (item == nullptr) return QMe_INVALIDARG;
  if (!KnownOrAny(type)) return QMe_NOTFOUND;
  auto ids = Matching([&](const Item& i) { return OfType(i, type); });
  if (ids.empty()) return QMe_NOTFOUND;
  return HandOutItem(scene_, ids.front(), item);
}

QmResult SceneObject::scn_ItemLookup(const char* name, void** item) {
  if (name == nullptr || item == nullptr) return QMe_INVALIDARG;
  auto ids = Matching([&](const Item& i) { return i.name == name; });
  if (ids.empty()) return QMe_NOTFOUND;
  return HandOutItem(scene_, ids.front(), item);
}

QmResult SceneObject::scn_ItemLookupIdent(const char* ident, void** item) {
  if (ident == nullptr || item == nullptr) return QMe_INVALIDARG;
  uint64_t id = IdOfIdent(ident);
  bool present = id != 0 && scene_->Read([&](const SceneState& s) { return s.ById(id) != nullptr; });
  if (!present) return QMe_NOTFOUND;
  return HandOutItem(scene_, id, item);
}

QmResult SceneObject::scn_ItemLocalize(void* item, void** local) {
  if (local == nullptr) return QMe_INVALIDARG;
  Ref<ItemObject> from;
  QmResult rc = Argument(item, &from);
  if (QmFailed(rc)) return rc;
  uint64_t id = from->Id();
  if (!scene_->Read([&](const SceneState& s) { return s.ById(id) != nullptr; })) {
    return QMe_NOTFOUND;
  }
  return HandOutItem(scene_, id, local);
}

QmResult SceneObject::scn_ItemAdd(uint32_t type, void** item) {
  if (item == nullptr) return QMe_INVALIDARG;
  if (type == kAnyItemType) return QMe_INVALIDARG;
  const char* name = ItemTypeOfCode(type);
  if (name == nullptr) return QMe_NOTFOUND;
  uint64_t id = 0;
  QmResult rc = QMe_FAILED;
  scene_->Change("", false, [&](SceneState& s) {
    rc = s.Add(name, std::string(), false, &id);
    return rc == QMe_OK;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, id, item);
}

QmResult SceneObject::scn_ItemDuplicate(void* item, void** duplicate) {
  if (duplicate == nullptr) return QMe_INVALIDARG;
  Ref<ItemObject> from;
  QmResult rc = Argument(item, &from);
  if (QmFailed(rc)) return rc;
  uint64_t source = from->Id();
  uint64_t id = 0;
  rc = QMe_NOTFOUND;
  scene_->Change("", false, [&](SceneState& s) {
    const Item* original = s.ById(source);
    if (original == nullptr) return false;
    Item copy = *original;
    copy.id = s.nextId++;
    copy.name = s.FreeNameLike(original->name);
    id = copy.id;
    s.items.push_back(std::move(copy));
    rc = QMe_OK;
    return true;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, id, duplicate);
}

QmResult SceneObject::scn_ItemReplace(void* item, uint32_t type, void** replacement) {
  if (replacement == nullptr || type == kAnyItemType) return QMe_INVALIDARG;
  const char* typeName = ItemTypeOfCode(type);
  if (typeName == nullptr) return QMe_NOTFOUND;
  Ref<ItemObject> from;
  QmResult rc = Argument(item, &from);
  if (QmFailed(rc)) return rc;
  uint64_t old = from->Id();
  uint64_t id = 0;
  rc = QMe_NOTFOUND;
  scene_->Change("", false, [&](SceneState& s) {
    auto at = std::find_if(s.items.begin(), s.items.end(),
                           [&](const Item& i) { return i.id == old; });
    if (at == s.items.end()) return false;
    id = s.nextId++;
    at->id = id;
    at->type = typeName;
    for (Item& other : s.items) {
      if (other.parent == old) other.parent = id;
    }
    std::replace(s.selection.begin(), s.selection.end(), old, id);
    rc = QMe_OK;
    return true;
  });
  return QmFailed(rc) ? rc : HandOutItem(scene_, id, replacement);
}

QmResult SceneObject::scn_ItemRemove(void* item) {
  Ref<ItemObject> which;
  QmResult rc = Argument(item, &which);
  if (QmFailed(rc)) return rc;
  uint64_t id = which->Id();
  bool removed = scene_->Change("", false, [&](SceneState& s) { return s.Remove(id); });
  return removed ? QMe_OK : QMe_NOTFOUND;
}

QmResult SceneObject::scn_RenderCameraCount(uint32_t* count) {
  return scn_ItemCount(ItemTypeCode("camera"), count);
}

QmResult SceneObject::scn_RenderCameraByIndex(uint32_t index, void** camera) {
  return scn_ItemByIndex(ItemTypeCode("camera"), index, camera);
}

QmResult SceneObject::scn_SubSceneCount(uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  *count = 0;
  return QMe_OK;
}

QmResult SceneObject::scn_SubSceneByIndex(uint32_t, void** subScene) {
  if (subScene == nullptr) return QMe_INVALIDARG;
  return QMe_OUTOFBOUNDS;
}

QmResult SceneObject::scn_Parent(void** parent) {
  if (parent == nullptr) return QMe_INVALIDARG;
  return QMe_NOTFOUND;
}

QmResult SceneObject::scn_Filename(const char** filename) {
  if (filename == nullptr) return QMe_INVALIDARG;
  std::string file = scene_->Read([](const SceneState& s) { return s.filename; });
  if (file.empty()) return QMe_NOTFOUND;
  *filename = texts_.Keep(file);
  return QMe_OK;
}

QmResult SceneObject::scn_FriendlyFilename(const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  std::string file = scene_->Read([](const SceneState& s) { return s.filename; });
  if (file.empty()) return QMe_NOTFOUND;
  std::string base = file.substr(file.find_last_of('/') + 1);
  size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot != 0) base.erase(dot);
  *name = texts_.Keep(base);
  return QMe_OK;
}

QmResult SceneObject::scn_Changed() {
  scene_->Change("", false, [](SceneState&) { return true; });
  return QMe_OK;
}

QmResult SceneObject::scn_HasChanged() {
  return scene_->Read([](const SceneState& s) { return s.changed; }) ? QMe_TRUE : QMe_FALSE;
}

void* SceneObject::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmScene ? face_.get() : nullptr;
}

}  // namespace qmhost
