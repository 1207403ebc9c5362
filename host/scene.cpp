#include "host/scene.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>

#include "host/query.h"

namespace qmhost {

const std::vector<std::string>& ItemTypes() {
  static const std::vector<std::string> types = {"mesh", "light", "camera", "locator"};
  return types;
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

const Item* SceneState::ById(uint64_t id) const {
  for (const auto& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

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

QmResult SceneState::Create(const std::string& type, const std::string& name, bool nameGiven) {
  const auto& types = ItemTypes();
  if (std::find(types.begin(), types.end(), type) == types.end()) return QMe_INVALIDARG;
  if (nameGiven && name.empty()) return QMe_INVALIDARG;
  std::string chosen = nameGiven ? name : FreeName(type);
  if (Find(chosen) != nullptr) return QMe_ALREADYEXISTS;
  Item item;
  item.id = nextId++;
  item.name = chosen;
  item.type = type;
  items.push_back(item);
  selection.assign(1, item.id);
  return QMe_OK;
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

namespace {

bool SameItem(const Item& a, const Item& b) {
  return a.name == b.name && a.type == b.type && a.rotation == b.rotation &&
         std::equal(std::begin(a.position), std::end(a.position), std::begin(b.position));
}

}  // namespace

bool Scene::Undo(std::string* label) {
  std::lock_guard<std::mutex> hold(lock_);
  if (undo_.empty()) return false;
  Step step = std::move(undo_.back());
  undo_.pop_back();
  if (label != nullptr) *label = step.label;

  auto& items = state_.items;
  for (const Item& after : step.after.items) {
    const Item* before = step.before.ById(after.id);
    auto now = std::find_if(items.begin(), items.end(),
                            [&](const Item& item) { return item.id == after.id; });
    if (before == nullptr) {  // made by the step
      if (now != items.end()) items.erase(now);
    } else if (now != items.end() && !SameItem(*before, after)) {
      const Item* holder = state_.Find(before->name);
      std::string keep = holder != nullptr && holder->id != before->id ? now->name : before->name;
      *now = *before;
      now->name = keep;
    }
  }
  if (step.before.selection != step.after.selection) state_.selection = step.before.selection;
  auto gone = [&](uint64_t id) { return state_.ById(id) == nullptr; };
  auto& sel = state_.selection;
  sel.erase(std::remove_if(sel.begin(), sel.end(), gone), sel.end());
  if (step.before.mode != step.after.mode) state_.mode = step.before.mode;
  if (step.before.detail != step.after.detail) state_.detail = step.before.detail;
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

void* SceneService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmSceneService ? face_.get() : nullptr;
}

}  // namespace qmhost
