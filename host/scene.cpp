#include "host/scene.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>

#include "host/query.h"
#include "host/scene_objects.h"

namespace qmhost {

const std::vector<std::string>& ItemTypes() {
  static const std::vector<std::string> types = {"mesh", "light", "camera", "locator"};
  return types;
}

uint32_t ItemTypeCode(const std::string& type) {
  const auto& types = ItemTypes();
  auto it = std::find(types.begin(), types.end(), type);
  return it == types.end() ? kAnyItemType : static_cast<uint32_t>(it - types.begin()) + 1;
}

const char* ItemTypeOfCode(uint32_t code) {
  const auto& types = ItemTypes();
  return code >= 1 && code <= types.size() ? types[code - 1].c_str() : nullptr;
}

// --- State ------------------------------------------------------------------------------

Item* SceneState::Find(const std::string& name) {
  for (auto& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

const Item* SceneState::Find(const std::string& name) const {
  return const_cast<SceneState*>(this)->Find(name);
}

Item* SceneState::ById(uint64_t id) {
  for (auto& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

const Item* SceneState::ById(uint64_t id) const { return const_cast<SceneState*>(this)->ById(id); }

std::vector<Item*> SceneState::Selected() {
  std::vector<Item*> found;
  for (uint64_t id : selection) {
    if (const Item* item = ById(id)) found.push_back(const_cast<Item*>(item));
  }
  return found;
}

std::vector<const Item*> SceneState::Selected() const {
  std::vector<const Item*> found;
  for (Item* item : const_cast<SceneState*>(this)->Selected()) found.push_back(item);
  return found;
}

bool SceneState::IsSelected(uint64_t id) const {
  return std::find(selection.begin(), selection.end(), id) != selection.end();
}

std::string SceneState::FreeName(const std::string& type) const {
  for (unsigned n = 1;; ++n) {
    std::string name = type + std::to_string(n);
    if (Find(name) == nullptr) return name;
  }
}

std::string SceneState::FreeNameLike(const std::string& name) const {
  std::string stem = name;
  while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
  for (unsigned n = 2;; ++n) {
    std::string free = stem + std::to_string(n);
    if (Find(free) == nullptr) return free;
  }
}

bool SceneState::IsWithin(uint64_t id, uint64_t ancestor) const {
  // Parents never form a loop, so the walk ends; the bound guards it anyway.
  for (size_t steps = 0; id != 0 && steps <= items.size(); ++steps) {
    if (id == ancestor) return true;
    const Item* item = ById(id);
    id = item != nullptr ? item->parent : 0;
  }
  return false;
}

QmResult SceneState::Add(const std::string& type, const std::string& name, bool nameGiven,
                         uint64_t* id) {
  if (ItemTypeCode(type) == kAnyItemType) return QMe_INVALIDARG;
  if (nameGiven && name.empty()) return QMe_INVALIDARG;
  std::string chosen = nameGiven ? name : FreeName(type);
  if (Find(chosen) != nullptr) return QMe_ALREADYEXISTS;
  Item item;
  item.id = nextId++;
  item.name = chosen;
  item.type = type;
  items.push_back(item);
  if (id != nullptr) *id = item.id;
  return QMe_OK;
}

QmResult SceneState::Create(const std::string& type, const std::string& name, bool nameGiven) {
  uint64_t id = 0;
  QmResult rc = Add(type, name, nameGiven, &id);
  if (rc == QMe_OK) selection.assign(1, id);
  return rc;
}

bool SceneState::Remove(uint64_t id) {
  auto it = std::find_if(items.begin(), items.end(), [&](const Item& item) { return item.id == id; });
  if (it == items.end()) return false;
  uint64_t parent = it->parent;
  items.erase(it);
  for (auto& item : items) {
    if (item.parent == id) item.parent = parent;
  }
  selection.erase(std::remove(selection.begin(), selection.end(), id), selection.end());
  return true;
}

QmResult SceneState::Select(const std::string& name, bool add) {
  const Item* item = Find(name);
  if (item == nullptr) return QMe_NOTFOUND;
  if (!add) {
    selection.assign(1, item->id);
  } else if (!IsSelected(item->id)) {
    selection.push_back(item->id);
  }
  return QMe_OK;
}

// --- Scene ------------------------------------------------------------------------------

SceneState Scene::Snapshot() const {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

void Scene::SetFile(const std::string& filename) {
  std::lock_guard<std::mutex> hold(lock_);
  state_.filename = filename;
  state_.changed = false;
}

namespace {

bool SameItem(const Item& a, const Item& b) {
  return a.name == b.name && a.type == b.type && a.rotation == b.rotation &&
         std::equal(std::begin(a.position), std::end(a.position), std::begin(b.position)) &&
         a.parent == b.parent && a.tags == b.tags;
}

}  // namespace

bool Scene::Undo(std::string* label) {
  std::lock_guard<std::mutex> hold(lock_);
  if (undo_.empty()) return false;
  Step step = std::move(undo_.back());
  undo_.pop_back();
  if (label != nullptr) *label = step.label;

  for (const Item& after : step.after.items) {
    const Item* before = step.before.ById(after.id);
    Item* now = state_.ById(after.id);
    if (before == nullptr) {  // made by the step
      if (now != nullptr) state_.Remove(after.id);
    } else if (now != nullptr && !SameItem(*before, after)) {
      const Item* holder = state_.Find(before->name);
      Item restored = *before;
      if (holder != nullptr && holder->id != before->id) restored.name = now->name;
      // A parent that has gone since, or would make a loop, is not restored.
      bool parentOk = restored.parent == 0 || (state_.ById(restored.parent) != nullptr &&
                                               !state_.IsWithin(restored.parent, after.id));
      if (before->parent == after.parent || !parentOk) restored.parent = now->parent;
      if (before->tags == after.tags) restored.tags = now->tags;
      *now = std::move(restored);
    }
  }
  if (step.before.selection != step.after.selection) state_.selection = step.before.selection;
  auto gone = [&](uint64_t id) { return state_.ById(id) == nullptr; };
  auto& sel = state_.selection;
  sel.erase(std::remove_if(sel.begin(), sel.end(), gone), sel.end());
  if (step.before.mode != step.after.mode) state_.mode = step.before.mode;
  if (step.before.detail != step.after.detail) state_.detail = step.before.detail;
  state_.changed = true;
  return true;
}

std::vector<std::string> Scene::UndoLabels() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> labels;
  for (const auto& step : undo_) labels.push_back(step.label);
  return labels;
}

// --- Script query -------------------------------------------------------------------------

namespace {

class SceneQuery : public ScriptQueryBase {
 public:
  explicit SceneQuery(std::shared_ptr<Scene> scene) : scene_(std::move(scene)) {}

 protected:
  const Attribute* Lookup(const std::string& name) const override {
    static const Attribute kAttributes[] = {
        {"scene.itemCount", "integer"},
        {"scene.items", "string"},
        {"scene.selection", "string"},
        {"scene.mode", "string"},
        {"scene.detail", "integer"},
        {"item.name", "string"},
        {"item.type", "string"},
        {"item.position", "distance"},
        {"item.rotation", "angle"},
        {"item.selected", "boolean"},
        {nullptr, nullptr},
    };
    return LookupIn(kAttributes, name);
  }

  QmResult Select(const std::string& cls, const std::string& which) override {
    if (cls != "item") return QMe_QUERY_UNKNOWN_ATTRIBUTE;
    uint64_t id = scene_->Read([&](const SceneState& s) -> uint64_t {
      if (const Item* item = s.Find(which)) return item->id;
      char* end = nullptr;
      unsigned long index = std::strtoul(which.c_str(), &end, 10);
      bool number = !which.empty() && which[0] != '-' && *end == '\0';
      return number && index < s.items.size() ? s.items[index].id : 0;
    });
    if (id == 0) return QMe_NOTFOUND;
    selected_ = id;
    return QMe_OK;
  }

  QmResult Read(const Attribute& attribute, std::vector<Value>* out) override {
    const std::string name = attribute.name;
    return scene_->Read([&](const SceneState& s) -> QmResult {
      if (name == "scene.itemCount") {
        out->push_back(Value::Int(static_cast<int32_t>(s.items.size())));
      } else if (name == "scene.items") {
        for (const auto& item : s.items) out->push_back(Value::String(item.name));
      } else if (name == "scene.selection") {
        for (const Item* item : s.Selected()) out->push_back(Value::String(item->name));
      } else if (name == "scene.mode") {
        out->push_back(Value::String(s.mode));
      } else if (name == "scene.detail") {
        out->push_back(Value::Int(s.detail));
      } else {
        const Item* item = s.ById(selected_.load());
        if (item == nullptr) return QMe_QUERY_NEED_SELECTION;
        if (name == "item.name") {
          out->push_back(Value::String(item->name));
        } else if (name == "item.type") {
          out->push_back(Value::String(item->type));
        } else if (name == "item.position") {
          for (double v : item->position) out->push_back(Value::Float(v));
        } else if (name == "item.rotation") {
          out->push_back(Value::Float(item->rotation));
        } else {
          out->push_back(Value::Int(s.IsSelected(item->id) ? 1 : 0));
        }
      }
      return QMe_OK;
    });
  }

 private:
  std::shared_ptr<Scene> scene_;
  std::atomic<uint64_t> selected_{0};
};

}  // namespace

QmResult SceneService::scns_ScriptQuery(void** query) {
  if (query == nullptr) return QMe_INVALIDARG;
  Ref<SceneQuery> made(new SceneQuery(scene_));
  return made->QueryInterface(&IID_IQmScriptQuery, query);
}

uint32_t SceneService::scns_ItemTypeCount() { return static_cast<uint32_t>(ItemTypes().size()); }

QmResult SceneService::scns_ItemTypeByIndex(uint32_t index, uint32_t* type) {
  if (type == nullptr) return QMe_INVALIDARG;
  if (index >= ItemTypes().size()) return QMe_OUTOFBOUNDS;
  *type = ItemTypeCode(ItemTypes()[index]);
  return QMe_OK;
}

QmResult SceneService::scns_ItemTypeLookup(const char* name, uint32_t* type) {
  if (name == nullptr || type == nullptr) return QMe_INVALIDARG;
  uint32_t code = ItemTypeCode(name);
  if (code == kAnyItemType) return QMe_NOTFOUND;
  *type = code;
  return QMe_OK;
}

QmResult SceneService::scns_ItemTypeName(uint32_t type, const char** name) {
  if (name == nullptr) return QMe_INVALIDARG;
  const char* found = ItemTypeOfCode(type);
  if (found == nullptr) return QMe_NOTFOUND;
  *name = found;  // ItemTypes() lives as long as the process
  return QMe_OK;
}

QmResult SceneService::scns_ItemTypeSuper(uint32_t, uint32_t* superType) {
  if (superType == nullptr) return QMe_INVALIDARG;
  return QMe_NOTFOUND;
}

QmResult SceneService::scns_ItemTypeTest(uint32_t type, uint32_t ofType) {
  if (ItemTypeOfCode(type) == nullptr) return QMe_NOTFOUND;
  if (ofType != kAnyItemType && ItemTypeOfCode(ofType) == nullptr) return QMe_NOTFOUND;
  return ofType == kAnyItemType || ofType == type ? QMe_TRUE : QMe_FALSE;
}

QmResult SceneService::scns_ItemSubTypeCount(uint32_t type, uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  if (ItemTypeOfCode(type) == nullptr) return QMe_NOTFOUND;
  *count = 0;
  return QMe_OK;
}

QmResult SceneService::scns_ItemSubTypeByIndex(uint32_t type, uint32_t, const char** subType) {
  if (subType == nullptr) return QMe_INVALIDARG;
  if (ItemTypeOfCode(type) == nullptr) return QMe_NOTFOUND;
  return QMe_OUTOFBOUNDS;
}

QmResult SceneService::scns_Root(void** scene) { return HandOutScene(scene_, scene); }

void* SceneService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmSceneService ? face_.get() : nullptr;
}

}  // namespace qmhost
