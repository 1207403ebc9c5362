// The scene and its items as host objects: what the scene service's Root
// hands out (IQmScene), and the items a scene or an item hands out
// (IQmItem).  They are views over the one scene model (host/scene.h) that
// the commands change and the script queries read.
//
// An item object holds its item by id, not by pointer: when the item
// leaves the scene, the object stays safe to call and its methods answer
// QMe_NOTFOUND (Type answers kAnyItemType, which is no type).  Texts that
// objects hand out (names, idents, tags, the file name) stay valid as long
// as the object that handed them out.
//
// Changes made through these objects count as changes of the scene
// (HasChanged) but are not recorded for undo; commands are.
//
// Where a method takes an item type, the codes are ItemTypeCode's and
// kAnyItemType stands for every type; a code that is no type gives
// QMe_NOTFOUND.  A list of types (i32[]) is ended by kAnyItemType and
// names each type at most once.  An item argument that is not one of this
// host's items, or is an item of another scene, gives QMe_INVALIDARG.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/object.h"
#include "host/scene.h"
#include "qm_impl_scene.h"

namespace qmhost {

// The channels every item has, in index order: "pos.X", "pos.Y", "pos.Z"
// (distances) and "rot" (an angle).
struct ItemChannel {
  const char* name;
  const char* type;  // a value type name (host/values.h)
};
const std::vector<ItemChannel>& ItemChannels();

// Texts handed out through `const char**`: each distinct text is kept
// once, for as long as the pool lives.
class TextPool {
 public:
  const char* Keep(const std::string& text);

 private:
  std::mutex lock_;
  std::set<std::string> texts_;
};

class ItemObject : public HostObject, public CQmImpl_Item {
 public:
  ItemObject(std::shared_ptr<Scene> scene, uint64_t id) : scene_(std::move(scene)), id_(id) {}

  uint64_t Id() const { return id_; }
  const std::shared_ptr<Scene>& SceneModel() const { return scene_; }

  QmResult item_Name(const char** name) override;
  // QMe_INVALIDARG for an empty name, QMe_ALREADYEXISTS for one another
  // item has.
  QmResult item_SetName(const char* name) override;
  // Names are unique in the scene: the same as Name.
  QmResult item_UniqueName(const char** name) override;
  // "item:" and the item's id; it never changes.
  QmResult item_Ident(const char** ident) override;
  uint32_t item_Type() override;
  QmResult item_TestType(uint32_t type) override;
  QmResult item_TestTypes(int32_t* types) override;
  // Items are never loaded from a file in this host.
  QmResult item_WasLoaded() override;
  // The scene, as an IQmScene object.
  QmResult item_Context(void** scene) override;

  // QMe_NOTFOUND for an item that hangs under no other.
  QmResult item_Parent(void** parent) override;
  // Null takes the item out from under its parent; QMe_INVALIDARG for the
  // item itself or one that hangs under it.
  QmResult item_SetParent(void* parent) override;
  // The topmost item it hangs under; itself when it hangs under none.
  QmResult item_Root(void** root) override;
  // The items that hang directly under it, in the scene's order.
  QmResult item_SubCount(uint32_t* count) override;
  QmResult item_SubByIndex(uint32_t type, uint32_t index, void** item) override;

  QmResult item_ChannelCount(uint32_t* count) override;
  QmResult item_ChannelName(uint32_t channel, const char** name) override;
  QmResult item_ChannelLookup(const char* name, uint32_t* index) override;
  // The kind of the channel's value (host/values.h ValueKind).
  QmResult item_ChannelType(uint32_t channel, uint32_t* type) override;
  // The channel's value type name ("distance", "angle").
  QmResult item_ChannelStorageType(uint32_t channel, const char** type) override;

  // QMe_NOTFOUND for a tag the item does not have.
  QmResult item_GetTag(uint32_t tag, const char** value) override;
  // A null value removes the tag.
  QmResult item_SetTag(uint32_t tag, const char* value) override;

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  // Runs `read(state, item)` under the scene's lock; QMe_NOTFOUND when
  // the item has left the scene.
  template <class F>
  QmResult Read(F&& read);
  // Runs `change(state, item)` as an unrecorded scene change, kept only
  // when it answers success.
  template <class F>
  QmResult Change(F&& change);
  QmResult Channel(uint32_t channel, const ItemChannel** found);

  HostFace<IQmItem> face_{this};
  std::shared_ptr<Scene> scene_;
  uint64_t id_;
  TextPool texts_;
};

class SceneObject : public HostObject, public CQmImpl_Scene {
 public:
  explicit SceneObject(std::shared_ptr<Scene> scene) : scene_(std::move(scene)) {}

  const std::shared_ptr<Scene>& SceneModel() const { return scene_; }

  QmResult scn_ItemCount(uint32_t type, uint32_t* count) override;
  QmResult scn_ItemByIndex(uint32_t type, uint32_t index, void** item) override;
  QmResult scn_ItemCountByTypes(int32_t* types, uint32_t* count) override;
  QmResult scn_ItemByIndexByTypes(int32_t* types, uint32_t index, void** item) override;
  // The first item of the type; QMe_NOTFOUND when there is none.
  QmResult scn_AnyItemOfType(uint32_t type, void** item) override;
  QmResult scn_ItemLookup(const char* name, void** item) override;
  QmResult scn_ItemLookupIdent(const char* ident, void** item) override;
  // An item of this scene stands for itself; QMe_NOTFOUND once it is gone.
  QmResult scn_ItemLocalize(void* item, void** local) override;
  // Adds an item of the type named as item.create names it ("mesh1", ...),
  // without selecting it.  QMe_INVALIDARG for kAnyItemType.
  QmResult scn_ItemAdd(uint32_t type, void** item) override;
  // A copy of the item (type, position, rotation, parent, tags) at the end
  // of the items, named FreeNameLike its name.
  QmResult scn_ItemDuplicate(void* item, void** duplicate) override;
  // A new item of `type` takes the item's place, name, position, rotation,
  // parent, tags, children and place in the selection; the item goes.
  QmResult scn_ItemReplace(void* item, uint32_t type, void** replacement) override;
  QmResult scn_ItemRemove(void* item) override;

  // Every camera can render the scene.
  QmResult scn_RenderCameraCount(uint32_t* count) override;
  QmResult scn_RenderCameraByIndex(uint32_t index, void** camera) override;

  // The host's scene has no sub-scenes and is no sub-scene.
  QmResult scn_SubSceneCount(uint32_t* count) override;
  QmResult scn_SubSceneByIndex(uint32_t index, void** subScene) override;
  QmResult scn_Parent(void** parent) override;

  // QMe_NOTFOUND while the scene is untitled.  The friendly name is the
  // file's name without its folder and extension.
  QmResult scn_Filename(const char** filename) override;
  QmResult scn_FriendlyFilename(const char** name) override;

  QmResult scn_Changed() override;
  QmResult scn_HasChanged() override;

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  // The ids of the items whose type `accepts`, in the scene's order.
  template <class P>
  std::vector<uint64_t> Matching(P&& accepts);
  // The item behind an item argument, checked to be one of this scene's.
  QmResult Argument(void* item, Ref<ItemObject>* out);

  HostFace<IQmScene> face_{this};
  std::shared_ptr<Scene> scene_;
  TextPool texts_;
};

// A new scene object, or item object for the item with id `id`, with one
// reference for the caller.
QmResult HandOutScene(const std::shared_ptr<Scene>& scene, void** out);
QmResult HandOutItem(const std::shared_ptr<Scene>& scene, uint64_t id, void** out);

}  // namespace qmhost
