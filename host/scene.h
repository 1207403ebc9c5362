// The host's scene: named items with a type, a position and a rotation;
// the selection; the selection mode; the viewport's detail level; and the
// undo history of changes made to them.  Commands change the scene, script
// queries read it, and the host's own code (and its tests) can do both.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_scene.h"

namespace qmhost {

struct Item {
  uint64_t id = 0;  // stays the same when the item is renamed
  std::string name;
  std::string type;                // one of ItemTypes()
  double position[3] = {0, 0, 0};  // metres
  double rotation = 0;             // radians
  uint64_t parent = 0;             // the id of the item it hangs under; 0: none
  // Texts by tag: four characters packed into an integer.
  std::map<uint32_t, std::string> tags;
};

// "mesh", "light", "camera", "locator".
const std::vector<std::string>& ItemTypes();

// Item types as codes: 1 + the type's index in ItemTypes().  Where a code
// selects items, kAnyItemType stands for every type.
inline constexpr uint32_t kAnyItemType = 0;
// The code of a type name; kAnyItemType when there is no such type.
uint32_t ItemTypeCode(const std::string& type);
// The name of a type code; null for kAnyItemType and unknown codes.
const char* ItemTypeOfCode(uint32_t code);

// The lowest and highest viewport detail levels.
inline constexpr int32_t kMinDetail = 0;
inline constexpr int32_t kMaxDetail = 9;

struct SceneState {
  std::vector<Item> items;          // in the order they were made
  std::vector<uint64_t> selection;  // item ids, in the order they were selected
  std::string mode = "item";        // selection mode: "item" or "edit"
  int32_t detail = 1;               // viewport detail level
  uint64_t nextId = 1;
  std::string filename;  // the file it was loaded from or saved to; empty while untitled
  bool changed = false;  // changed since it was loaded or saved

  Item* Find(const std::string& name);
  const Item* Find(const std::string& name) const;
  Item* ById(uint64_t id);
  const Item* ById(uint64_t id) const;
  std::vector<Item*> Selected();
  std::vector<const Item*> Selected() const;
  bool IsSelected(uint64_t id) const;
  // "mesh1", "mesh2", ...: the first such name no item has.
  std::string FreeName(const std::string& type) const;
  // A name for a copy of the item named `name`: its name without trailing
  // digits, followed by the lowest number from 2 up that no item has.
  std::string FreeNameLike(const std::string& name) const;
  // Whether `ancestor` is `id` or an item `id` hangs under, at any depth.
  bool IsWithin(uint64_t id, uint64_t ancestor) const;

  // Makes an item at the origin, at the end of the items, without
  // selecting it; its id goes to `id`.  The same refusals as Create.
  QmResult Add(const std::string& type, const std::string& name, bool nameGiven, uint64_t* id);
  // Takes an item out of the scene and the selection; the items that hung
  // under it hang under its parent instead.  False when there is no such item.
  bool Remove(uint64_t id);

  // Makes an item at the origin and selects it alone.  QMe_INVALIDARG for
  // an unknown type or an empty name, QMe_ALREADYEXISTS when the name is
  // taken.  An empty `name` picks FreeName(type).
  QmResult Create(const std::string& type, const std::string& name, bool nameGiven);
  // Selects the item alone, or adds it to the selection (an item already
  // selected keeps its place).  QMe_NOTFOUND for an unknown name.
  QmResult Select(const std::string& name, bool add);
};

class Scene {
 public:
  // At most this many changes can be undone.
  static constexpr size_t kUndoDepth = 100;

  SceneState Snapshot() const;

  // The scene was saved to, or loaded from, `filename`: it takes that name
  // and has no unsaved changes.
  void SetFile(const std::string& filename);

  // Runs `change` on the scene.  When it answers false (or throws) the
  // scene is put back as it was; when it answers true the scene counts as
  // changed and, when `record` is set, the change can be undone under `label`.
  template <class F>
  bool Change(const std::string& label, bool record, F&& change) {
    std::lock_guard<std::mutex> hold(lock_);
    SceneState before = state_;
    bool changed = false;
    try {
      changed = change(state_);
    } catch (...) {
      state_ = std::move(before);
      throw;
    }
    if (!changed) {
      state_ = std::move(before);
      return false;
    }
    state_.changed = true;
    if (record) {
      undo_.push_back(Step{label, std::move(before), state_});
      if (undo_.size() > kUndoDepth) undo_.pop_front();
    }
    return true;
  }

  // Reads the scene under its lock.
  template <class F>
  auto Read(F&& read) const {
    std::lock_guard<std::mutex> hold(lock_);
    return read(static_cast<const SceneState&>(state_));
  }

  // Takes back what the last recorded change changed, and names that
  // change: items it made go, items it changed get their former values
  // back, and the selection, mode and detail level return to what they
  // were if it changed them.  Changes made since, recorded or not, stay
  // (an item keeps its current name when its former one has been taken,
  // and its parent and tags unless the step changed them); items that hung
  // under an item that goes hang under that item's parent (Remove).
  // False when there is nothing to undo.
  bool Undo(std::string* label);
  // Labels of the changes that can be undone, oldest first.
  std::vector<std::string> UndoLabels() const;

 private:
  mutable std::mutex lock_;
  SceneState state_;
  struct Step {
    std::string label;
    SceneState before;
    SceneState after;
  };
  std::deque<Step> undo_;
};

// The scene service: script queries over the scene.
//
//   attribute         type      values
//   scene.itemCount   integer   the number of items
//   scene.items       string    every item's name, in the order made
//   scene.selection   string    the selected items' names, in selection order
//   scene.mode        string    the selection mode
//   scene.detail      integer   the viewport detail level
// and, of the item chosen with Select("item", name or index):
//   item.name         string    its name
//   item.type         string    its type
//   item.position     distance  its X, Y and Z
//   item.rotation     angle     its rotation
//   item.selected     boolean   whether it is in the scene's selection
//
// Select("item", which) takes an item's name or, when no item has that
// name, its index in scene.items.  Item attributes need a selected item
// that still exists (QMe_QUERY_NEED_SELECTION otherwise).
//
// Item types are the codes of ItemTypeCode.  The host's types have no
// super types, sub-types or tags.  Root hands out the scene as an IQmScene
// object (host/scene_objects.h); the host has that one scene.
class SceneService : public HostObject, public CQmImpl_SceneService {
 public:
  explicit SceneService(std::shared_ptr<Scene> scene) : scene_(std::move(scene)) {}

  QmResult scns_ScriptQuery(void** query) override;
  uint32_t scns_ItemTypeCount() override;
  QmResult scns_ItemTypeByIndex(uint32_t index, uint32_t* type) override;
  QmResult scns_ItemTypeLookup(const char* name, uint32_t* type) override;
  QmResult scns_ItemTypeName(uint32_t type, const char** name) override;
  // QMe_NOTFOUND: no type has a super type.
  QmResult scns_ItemTypeSuper(uint32_t type, uint32_t* superType) override;
  // QMe_TRUE when `type` is `ofType` or `ofType` is kAnyItemType.
  QmResult scns_ItemTypeTest(uint32_t type, uint32_t ofType) override;
  QmResult scns_ItemSubTypeCount(uint32_t type, uint32_t* count) override;
  QmResult scns_ItemSubTypeByIndex(uint32_t type, uint32_t index, const char** subType) override;
  QmResult scns_Root(void** scene) override;

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmSceneService> face_{this};
  std::shared_ptr<Scene> scene_;
};

}  // namespace qmhost
