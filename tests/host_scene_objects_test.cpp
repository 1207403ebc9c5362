// The host's scene and items as objects, from scripts through the real
// plug-in: qm.service.Scene().Root() and the items it hands out, the item
// type codes, and how they agree with the commands and script queries over
// the same scene.  The host's scene model on its own comes last.
#include <gtest/gtest.h>

#include "host/scene_objects.h"
#include "plugin_fixture.h"

namespace {

using qmtest::Outcome;
using SceneObjects = qmtest::ScriptRun;

// Besides `error` of the fixture: `T` maps type names to
// the service's codes; `scene` is the root scene; `names()` lists the
// scene's item names in index order.
const char kSceneHelpers[] =
    "svc = qm.service.Scene()\n"
    "T = {}\n"
    "for i in range(svc.ItemTypeCount()):\n"
    "    T[svc.ItemTypeName(svc.ItemTypeByIndex(i))] = svc.ItemTypeByIndex(i)\n"
    "scene = svc.Root()\n"
    "def names():\n"
    "    return [scene.ItemByIndex(0, i).Name() for i in range(scene.ItemCount(0))]\n"
    "def queried():\n"
    "    return list(qm.Service('sceneservice').queryN('scene.items'))\n";

Outcome RunChecked(SceneObjects& t, const std::string& body) {
  return t.Run(std::string(qmtest::kErrorHelper) + kSceneHelpers + body);
}

// --- The scene object ------------------------------------------------------------------

TEST_F(SceneObjects, RootIsASceneObjectWithItsMethods) {
  Outcome o = RunChecked(*this,
      "assert type(scene) is qm.object.Scene and scene.test()\n"
      "assert type(svc.Root()) is qm.object.Scene and svc.Root() is not scene\n"
      "methods = [m for m in dir(qm.object.Scene) if not m.startswith('__') and "
      "m not in ('set', 'test')]\n"
      "assert len(methods) == 36, methods\n"
      "assert qm.object.Scene.ItemCount.__doc__ == 'integer count = ItemCount(integer type)'\n"
      "assert qm.object.Scene.ItemByIndex.__doc__ == "
      "'Item object item = ItemByIndex(integer type,integer index)'\n"
      "assert qm.object.Scene.ItemRemove.__doc__ == 'ItemRemove(object item)'\n"
      "assert qm.object.Scene.HasChanged.__doc__ == 'boolean = HasChanged()'\n"
      "assert qm.symbol.u_SCENE == 'E8D00A38-D8C8-4EC7-B724-C30988132B68'\n"
      // A scene is no item, and an Unknown holding it can be typed back.
      "assert error(qm.object.Item, scene) == 'TypeError: no interface'\n"
      "u = qm.object.Unknown()\n"
      "assert u.set(scene) and qm.object.Scene(u).ItemCount(0) == 0\n"
      "qm.eval('item.create mesh m')\n"
      "assert scene.ItemCount(qm.symbol.iTYPE_ANY) == scene.ItemCount(0) == 1\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(SceneObjects, TypeCodesThroughTheService) {
  Outcome o = RunChecked(*this,
      "assert svc.ItemTypeCount() == 4\n"
      "assert [svc.ItemTypeName(svc.ItemTypeByIndex(i)) for i in range(4)] == "
      "['mesh', 'light', 'camera', 'locator']\n"
      "assert sorted(set(T.values())) == sorted(T.values()) and 0 not in T.values()\n"
      "assert svc.ItemTypeLookup('camera') == T['camera']\n"
      "assert error(svc.ItemTypeLookup, 'cube') == 'LookupError: not found'\n"
      "assert error(svc.ItemTypeName, 0) == 'LookupError: not found'\n"
      "assert error(svc.ItemTypeName, 99) == 'LookupError: not found'\n"
      "assert error(svc.ItemTypeByIndex, 4) == 'IndexError: out of bounds'\n"
      "assert svc.ItemTypeTest(T['mesh'], T['mesh']) is True\n"
      "assert svc.ItemTypeTest(T['mesh'], T['light']) is False\n"
      "assert svc.ItemTypeTest(T['mesh'], 0) is True\n"  // 0 is any type
      "assert error(svc.ItemTypeTest, 99, T['mesh']) == 'LookupError: not found'\n"
      "assert error(svc.ItemTypeSuper, T['mesh']) == 'LookupError: not found'\n"
      "assert svc.ItemSubTypeCount(T['light']) == 0\n"
      "assert error(svc.ItemSubTypeByIndex, T['light'], 0) == 'IndexError: out of bounds'\n"
      // The codes are what items answer.
      "for name in T:\n"
      "    item = scene.ItemAdd(T[name])\n"
      "    assert item.Type() == T[name] and item.TestType(T[name]) is True, name\n"
      "    assert item.TestType(0) is True\n"
      "    assert svc.ItemTypeName(item.Type()) == name\n"
      "assert scene.ItemLookup('mesh1').TestType(T['light']) is False\n"
      "assert error(scene.ItemLookup('mesh1').TestType, 99) == 'LookupError: not found'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

// --- Items made by commands -----------------------------------------------------------

TEST_F(SceneObjects, CommandItemsAreFoundByNameIndexTypeAndIdent) {
  Outcome o = RunChecked(*this,
      "qm.eval('item.create mesh box')\n"
      "qm.eval('item.create light key')\n"
      "qm.eval('item.create camera \"main camera\"')\n"
      "qm.eval('item.create mesh')\n"
      "assert scene.ItemCount(0) == 4 == qm.eval1('scene.count ?')\n"
      "assert scene.ItemCount(T['mesh']) == 2 and scene.ItemCount(T['locator']) == 0\n"
      "assert names() == ['box', 'key', 'main camera', 'mesh1'] == queried()\n"
      "assert [scene.ItemByIndex(T['mesh'], i).Name() for i in range(2)] == ['box', 'mesh1']\n"
      "key = scene.ItemLookup('key')\n"
      "assert type(key) is qm.object.Item and key.Name() == 'key' == key.UniqueName()\n"
      "assert key.Type() == T['light']\n"
      "assert scene.ItemLookup('main camera').Type() == T['camera']\n"
      "assert scene.AnyItemOfType(T['camera']).Name() == 'main camera'\n"
      "assert scene.AnyItemOfType(0).Name() == 'box'\n"
      "assert error(scene.AnyItemOfType, T['locator']) == 'LookupError: not found'\n"
      "assert scene.RenderCameraCount() == 1\n"
      "assert scene.RenderCameraByIndex(0).Name() == 'main camera'\n"
      "assert error(scene.RenderCameraByIndex, 1) == 'IndexError: out of bounds'\n"
      // Idents differ between items and find them again.
      "idents = [scene.ItemByIndex(0, i).Ident() for i in range(4)]\n"
      "assert len(set(idents)) == 4, idents\n"
      "assert scene.ItemLookupIdent(key.Ident()).Name() == 'key'\n"
      "assert error(scene.ItemLookupIdent, 'key') == 'LookupError: not found'\n"
      "assert error(scene.ItemLookupIdent, '') == 'LookupError: not found'\n"
      "assert error(scene.ItemLookup, 'nope') == 'LookupError: not found'\n"
      "assert error(scene.ItemByIndex, 0, 4) == 'IndexError: out of bounds'\n"
      "assert error(scene.ItemByIndex, T['light'], 1) == 'IndexError: out of bounds'\n"
      "assert error(scene.ItemCount, 99) == 'LookupError: not found'\n"
      "assert error(scene.ItemByIndex, 99, 0) == 'LookupError: not found'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(SceneObjects, SetNameRenamesForCommandsAndQueries) {
  Outcome o = RunChecked(*this,
      "qm.eval('item.create mesh box')\n"
      "qm.eval('item.create light key')\n"
      "box = scene.ItemLookup('box')\n"
      "ident = box.Ident()\n"
      "assert box.SetName('crate') is None\n"
      "assert box.Name() == 'crate' and box.Ident() == ident\n"
      "assert queried() == ['crate', 'key'] == names()\n"
      "assert error(scene.ItemLookup, 'box') == 'LookupError: not found'\n"
      "qm.eval('select.item crate')\n"
      "assert qm.eval('select.item ?') == 'crate'\n"
      "assert error(qm.eval, '!select.item box').startswith('RuntimeError')\n"
      "assert error(box.SetName, 'key') == 'RuntimeError: bad result: ALREADYEXISTS'\n"
      "assert error(box.SetName, '') == 'TypeError: invalid argument'\n"
      "assert box.Name() == 'crate'\n"
      // And the other way: a command renames what the object sees.
      "qm.eval('item.rename barrel')\n"
      "assert box.Name() == 'barrel' and scene.ItemLookupIdent(ident).Name() == 'barrel'\n");
  ASSERT_EQ(o.rc, QMe_OK) << o.log;
  qmhost::SceneState s = app_->GetScene().Snapshot();
  ASSERT_NE(s.Find("barrel"), nullptr);
  EXPECT_EQ(s.Find("barrel")->type, "mesh");
  EXPECT_EQ(s.Find("box"), nullptr);
  EXPECT_EQ(s.Find("crate"), nullptr);
}

// --- Adding and removing --------------------------------------------------------------

TEST_F(SceneObjects, ItemAddAndItemRemove) {
  Outcome o = RunChecked(*this,
      "qm.eval('item.create light')\n"
      "m = scene.ItemAdd(T['mesh'])\n"
      "assert type(m) is qm.object.Item and m.Name() == 'mesh1' and m.Type() == T['mesh']\n"
      "assert names() == ['light1', 'mesh1'] == queried()\n"
      "assert qm.eval('select.item ?') == 'light1'\n"  // adding selects nothing
      "assert qm.eval1('scene.count ? mesh') == 1\n"
      "assert scene.ItemAdd(T['mesh']).Name() == 'mesh2'\n"
      "assert error(scene.ItemAdd, 0) == 'TypeError: invalid argument'\n"
      "assert error(scene.ItemAdd, 77) == 'LookupError: not found'\n"
      "assert scene.ItemRemove(m) is None\n"
      "assert names() == ['light1', 'mesh2'] == queried()\n"
      "assert error(scene.ItemRemove, m) == 'LookupError: not found'\n"
      // A removed selected item leaves the selection.
      "scene.ItemRemove(scene.ItemLookup('light1'))\n"
      "assert qm.eval('select.item ?') is None\n"
      "assert scene.ItemCount(0) == 1 == qm.eval1('scene.count ?')\n"
      // Only this host's items can be removed.
      "assert error(scene.ItemRemove, scene) == 'TypeError: invalid argument'\n"
      "assert error(scene.ItemRemove, None) == 'TypeError: invalid argument'\n"
      "assert error(scene.ItemRemove, qm.service.Message().Allocate()) == "
      "'TypeError: invalid argument'\n"
      "assert scene.ItemCount(0) == 1\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(app_->GetScene().Snapshot().items.size(), 1U);
}

TEST_F(SceneObjects, ARemovedItemFailsWithLookupErrorAndDoesNotCrash) {
  Outcome o = RunChecked(*this,
      "qm.eval('item.create mesh box')\n"
      "qm.eval('item.create locator target')\n"
      "box = scene.ItemLookup('box')\n"
      "again = scene.ItemByIndex(0, 0)\n"  // a second object for the same item
      "ctx = box.Context()\n"
      "scene.ItemRemove(again)\n"
      "NF = 'LookupError: not found'\n"
      "calls = [(box.Name,), (box.SetName, 'x'), (box.UniqueName,), (box.Ident,),\n"
      "         (box.TestType, 0), (box.Context,), (box.Parent,), (box.SetParent, None),\n"
      "         (box.Root,), (box.SubCount,), (box.SubByIndex, 0, 0), (box.ChannelCount,),\n"
      "         (box.ChannelName, 0), (box.ChannelLookup, 'rot'), (box.ChannelType, 0),\n"
      "         (box.ChannelStorageType, 0), (box.GetTag, 1), (box.SetTag, 1, 'v'),\n"
      "         (box.WasLoaded,), (scene.ItemLocalize, box), (scene.ItemDuplicate, box),\n"
      "         (scene.ItemReplace, box, T['light']), (scene.ItemRemove, box)]\n"
      "for call in calls:\n"
      "    assert error(*call) == NF, (call[0].__name__, error(*call))\n"
      "assert box.Type() == 0 and box.test()\n"
      "assert qm.object.Scene(ctx).ItemCount(0) == 1\n"  // the scene itself stays
      // A new item with the old name is another item.
      "qm.eval('item.create mesh box')\n"
      "assert error(box.Name) == NF and scene.ItemLookup('box').Name() == 'box'\n"
      "assert error(scene.ItemLookup('target').SetParent, box) == NF\n"
      // An item that undo takes away goes the same way.
      "qm.eval('item.create camera cam')\n"
      "cam = scene.ItemLookup('cam')\n"
      "qm.eval('scene.undo')\n"
      "assert error(cam.Name) == NF and error(scene.ItemLookup, 'cam') == NF\n"
      "assert names() == ['target', 'box']\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(SceneObjects, DuplicateReplaceAndLocalize) {
  Outcome o = RunChecked(*this,
      "qm.eval('item.create mesh box')\n"
      "qm.eval('item.move 1 2 3')\n"
      "qm.eval('item.create light key')\n"
      "box = scene.ItemLookup('box')\n"
      "box.SetTag(0x4E4F5445, 'wooden')\n"
      "copy = scene.ItemDuplicate(box)\n"
      "assert copy.Name() == 'box2' and copy.Type() == T['mesh']\n"
      "assert copy.Ident() != box.Ident() and copy.GetTag(0x4E4F5445) == 'wooden'\n"
      "assert names() == ['box', 'key', 'box2']\n"
      "q = qm.Service('sceneservice')\n"
      "q.select('item', 'box2')\n"
      "assert q.query('item.position') == (1.0, 2.0, 3.0), q.query('item.position')\n"
      "assert scene.ItemDuplicate(copy).Name() == 'box3'\n"
      // Replacing: a new item of another type takes the old one's place.
      "key = scene.ItemLookup('key')\n"
      "keyIdent = key.Ident()\n"
      "qm.eval('select.item key')\n"
      "lamp = scene.ItemReplace(key, T['locator'])\n"
      "assert lamp.Name() == 'key' and lamp.Type() == T['locator']\n"
      "assert lamp.Ident() != keyIdent and error(key.Name) == 'LookupError: not found'\n"
      "assert names() == ['box', 'key', 'box2', 'box3']\n"
      "assert qm.eval('select.item ?') == 'key'\n"
      "q.select('item', 'key')\n"
      "assert q.query('item.type') == 'locator'\n"
      "assert error(scene.ItemReplace, lamp, 0) == 'TypeError: invalid argument'\n"
      "assert error(scene.ItemReplace, lamp, 99) == 'LookupError: not found'\n"
      // An item of this scene stands for itself.
      "assert scene.ItemLocalize(box).Ident() == box.Ident()\n"
      "assert error(scene.ItemLocalize, scene) == 'TypeError: invalid argument'\n"
      // The host's scene has no sub-scenes and is none.
      "assert scene.SubSceneCount() == 0\n"
      "assert error(scene.SubSceneByIndex, 0) == 'IndexError: out of bounds'\n"
      "assert error(scene.Parent) == 'LookupError: not found'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

// --- What items answer ----------------------------------------------------------------

TEST_F(SceneObjects, ParentsRootsAndChildren) {
  Outcome o = RunChecked(*this,
      "for n in ('rig', 'arm', 'hand', 'lamp'):\n"
      "    qm.eval('item.create locator ' + n)\n"
      "rig, arm, hand, lamp = [scene.ItemLookup(n) for n in ('rig', 'arm', 'hand', 'lamp')]\n"
      "assert error(arm.Parent) == 'LookupError: not found'\n"
      "assert arm.Root().Name() == 'arm'\n"
      "arm.SetParent(rig)\n"
      "hand.SetParent(arm)\n"
      "lamp.SetParent(arm)\n"
      "assert hand.Parent().Name() == 'arm' and hand.Root().Name() == 'rig'\n"
      "assert arm.SubCount() == 2 and rig.SubCount() == 1 and hand.SubCount() == 0\n"
      "assert [arm.SubByIndex(0, i).Name() for i in range(2)] == ['hand', 'lamp']\n"
      "assert arm.SubByIndex(T['locator'], 1).Name() == 'lamp'\n"
      "assert error(arm.SubByIndex, T['mesh'], 0) == 'IndexError: out of bounds'\n"
      "assert error(arm.SubByIndex, 0, 2) == 'IndexError: out of bounds'\n"
      // No loops.
      "assert error(rig.SetParent, hand) == 'TypeError: invalid argument'\n"
      "assert error(rig.SetParent, rig) == 'TypeError: invalid argument'\n"
      "assert error(rig.SetParent, scene) == 'TypeError: invalid argument'\n"
      "assert error(rig.Parent) == 'LookupError: not found'\n"
      // Unparenting, and removing a parent: its children move up.
      "lamp.SetParent(None)\n"
      "assert error(lamp.Parent) == 'LookupError: not found' and arm.SubCount() == 1\n"
      "scene.ItemRemove(arm)\n"
      "assert hand.Parent().Name() == 'rig' and rig.SubCount() == 1\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(SceneObjects, ChannelsTagsAndContext) {
  Outcome o = RunChecked(*this,
      "item = scene.ItemAdd(T['camera'])\n"
      "assert item.ChannelCount() == 4\n"
      "assert [item.ChannelName(i) for i in range(4)] == ['pos.X', 'pos.Y', 'pos.Z', 'rot']\n"
      "assert item.ChannelLookup('rot') == 3 and item.ChannelLookup('pos.Y') == 1\n"
      "assert error(item.ChannelLookup, 'scale') == 'LookupError: not found'\n"
      "assert error(item.ChannelName, 4) == 'IndexError: out of bounds'\n"
      "assert item.ChannelType(0) == 2 and item.ChannelType(3) == 2\n"  // float values
      "assert item.ChannelStorageType(0) == 'distance' and item.ChannelStorageType(3) == 'angle'\n"
      "assert error(item.ChannelType, 4) == 'IndexError: out of bounds'\n"
      "NOTE = 0x4E4F5445\n"
      "assert error(item.GetTag, NOTE) == 'LookupError: not found'\n"
      "item.SetTag(NOTE, 'hero shot')\n"
      "assert item.GetTag(NOTE) == 'hero shot'\n"
      "assert scene.ItemByIndex(0, 0).GetTag(NOTE) == 'hero shot'\n"  // on the item, not the object
      "item.SetTag(NOTE, None)\n"
      "assert error(item.GetTag, NOTE) == 'LookupError: not found'\n"
      "assert item.WasLoaded() is False\n"
      "ctx = item.Context()\n"
      "assert type(ctx) is qm.object.Unknown\n"
      "assert qm.object.Scene(ctx).ItemLookup('camera1').Ident() == item.Ident()\n"
      // What the host has no notion of, it does not pretend to have.
      "for f in (item.IsReferenced, item.Source, item.UniqueIndex):\n"
      "    assert error(f) == 'NotImplementedError: not implemented', f.__name__\n"
      "for f in (scene.GraphCount, scene.SetupMode, scene.LoadFlags, scene.FileFormat,\n"
      "          scene.RenderCameraIndex, scene.SetupChannels):\n"
      "    assert error(f) == 'NotImplementedError: not implemented', f.__name__\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(SceneObjects, TypeListsEndedByZero) {
  Outcome o = RunChecked(*this,
      "for t in ('mesh', 'light', 'camera', 'mesh', 'locator'):\n"
      "    scene.ItemAdd(T[t])\n"
      "def types(*codes):\n"
      "    s = qm.object.storage('int', len(codes))\n"
      "    s.set(codes)\n"
      "    return s\n"
      "mc = types(T['mesh'], T['camera'], 0)\n"
      "assert scene.ItemCountByTypes(mc) == 3\n"
      "assert [scene.ItemByIndexByTypes(mc, i).Name() for i in range(3)] == "
      "['mesh1', 'camera1', 'mesh2']\n"
      "assert error(scene.ItemByIndexByTypes, mc, 3) == 'IndexError: out of bounds'\n"
      "assert scene.ItemCountByTypes(types(0)) == 0\n"
      "assert scene.ItemLookup('camera1').TestTypes(mc) is True\n"
      "assert scene.ItemLookup('light1').TestTypes(mc) is False\n"
      "assert error(scene.ItemCountByTypes, types(T['mesh'], 99, 0)) == 'LookupError: not found'\n"
      "assert error(scene.ItemCountByTypes, types(T['mesh'], T['mesh'], 0)) == "
      "'TypeError: invalid argument'\n"
      "assert error(scene.ItemCountByTypes, types(1, 2, 3, 4, 1)) == "
      "'TypeError: invalid argument'\n"
      "assert error(scene.ItemCountByTypes, None) == 'TypeError: invalid argument'\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

// --- The file and changes ---------------------------------------------------------------

TEST_F(SceneObjects, FilenameAndChanges) {
  Outcome o = RunChecked(*this,
      "assert error(scene.Filename) == 'LookupError: not found'\n"
      "assert error(scene.FriendlyFilename) == 'LookupError: not found'\n"
      "assert scene.HasChanged() is False\n"
      "qm.eval('item.create mesh')\n"
      "assert scene.HasChanged() is True\n");
  ASSERT_EQ(o.rc, QMe_OK) << o.log;
  app_->GetScene().SetFile("/projects/shots/intro.v2.scene");
  o = RunChecked(*this,
      "assert scene.Filename() == '/projects/shots/intro.v2.scene'\n"
      "assert scene.FriendlyFilename() == 'intro.v2'\n"
      "assert scene.HasChanged() is False\n"
      "assert scene.Changed() is None and scene.HasChanged() is True\n");
  ASSERT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_TRUE(app_->GetScene().Snapshot().changed);
  app_->GetScene().SetFile("/projects/shots/intro.v2.scene");
  o = RunChecked(*this,
      "scene.ItemLookup('mesh1').SetName('crate')\n"
      "assert scene.HasChanged() is True\n");
  ASSERT_EQ(o.rc, QMe_OK) << o.log;
}

// --- References ---------------------------------------------------------------------------

TEST_F(SceneObjects, EveryObjectHandedOutComesBack) {
  long before = qmhost::HostObject::LiveCount();
  Outcome o = Run(
      "import qm\n"
      "def work():\n"
      "    scene = qm.service.Scene().Root()\n"
      "    for i in range(20):\n"
      "        scene.ItemAdd(1 + i % 4)\n"
      "    items = [scene.ItemByIndex(0, i) for i in range(scene.ItemCount(0))]\n"
      "    for item in items[1:]:\n"
      "        item.SetParent(items[0])\n"
      "        item.Parent().Root().Context()\n"
      "    scene.ItemRemove(items[3])\n"
      "    for bad in (scene, items[3]):\n"
      "        try:\n"
      "            scene.ItemRemove(bad)\n"
      "        except Exception:\n"
      "            pass\n"
      "    return len(items)\n"
      "assert work() == 20\n");
  ASSERT_EQ(o.rc, QMe_OK) << o.log;
  o = Outcome();  // its message is a host object too
  EXPECT_EQ(qmhost::HostObject::LiveCount(), before);
  EXPECT_EQ(app_->GetScene().Snapshot().items.size(), 19U);
}

// --- The scene model on its own -----------------------------------------------------------

TEST(SceneModel, TypeCodes) {
  EXPECT_EQ(qmhost::ItemTypeCode("mesh"), 1U);
  EXPECT_EQ(qmhost::ItemTypeCode("locator"), 4U);
  EXPECT_EQ(qmhost::ItemTypeCode("cube"), qmhost::kAnyItemType);
  EXPECT_STREQ(qmhost::ItemTypeOfCode(3), "camera");
  EXPECT_EQ(qmhost::ItemTypeOfCode(qmhost::kAnyItemType), nullptr);
  EXPECT_EQ(qmhost::ItemTypeOfCode(5), nullptr);
}

TEST(SceneModel, RemoveMovesChildrenUpAndLeavesTheSelection) {
  qmhost::SceneState s;
  uint64_t a = 0, b = 0, c = 0;
  ASSERT_EQ(s.Add("locator", "a", true, &a), QMe_OK);
  ASSERT_EQ(s.Add("locator", "b", true, &b), QMe_OK);
  ASSERT_EQ(s.Add("mesh", "c", true, &c), QMe_OK);
  EXPECT_TRUE(s.selection.empty());  // Add selects nothing
  s.ById(b)->parent = a;
  s.ById(c)->parent = b;
  s.selection = {c, b};
  EXPECT_TRUE(s.IsWithin(c, a));
  EXPECT_FALSE(s.IsWithin(a, c));
  EXPECT_TRUE(s.Remove(b));
  EXPECT_FALSE(s.Remove(b));
  EXPECT_EQ(s.ById(c)->parent, a);
  EXPECT_EQ(s.selection, std::vector<uint64_t>{c});
  EXPECT_EQ(s.FreeNameLike("c"), "c2");
  EXPECT_EQ(s.FreeNameLike("box12"), "box2");
  EXPECT_EQ(s.Add("mesh", "c", true, nullptr), QMe_ALREADYEXISTS);
  EXPECT_EQ(s.Add("cube", "", false, nullptr), QMe_INVALIDARG);
}

TEST(SceneModel, UndoKeepsParentsAndTagsItDidNotChange) {
  qmhost::Scene scene;
  uint64_t rig = 0, box = 0;
  scene.Change("make", false, [&](qmhost::SceneState& s) {
    return s.Add("locator", "rig", true, &rig) == QMe_OK && s.Add("mesh", "box", true, &box) == QMe_OK;
  });
  scene.Change("move", true, [&](qmhost::SceneState& s) {
    s.ById(box)->position[0] = 5;
    return true;
  });
  scene.Change("", false, [&](qmhost::SceneState& s) {  // not recorded
    s.ById(box)->parent = rig;
    s.ById(box)->tags[7] = "seven";
    return true;
  });
  ASSERT_TRUE(scene.Undo(nullptr));
  qmhost::SceneState s = scene.Snapshot();
  EXPECT_EQ(s.ById(box)->position[0], 0);
  EXPECT_EQ(s.ById(box)->parent, rig);
  EXPECT_EQ(s.ById(box)->tags.at(7), "seven");

  // Undoing the making of a parent moves its children up.
  uint64_t arm = 0;
  scene.Change("arm", true, [&](qmhost::SceneState& st) {
    return st.Add("locator", "arm", true, &arm) == QMe_OK;
  });
  scene.Change("", false, [&](qmhost::SceneState& st) {
    st.ById(arm)->parent = rig;
    st.ById(box)->parent = arm;
    return true;
  });
  ASSERT_TRUE(scene.Undo(nullptr));
  s = scene.Snapshot();
  EXPECT_EQ(s.ById(arm), nullptr);
  EXPECT_EQ(s.ById(box)->parent, rig);
}

TEST(SceneModel, ChangesMarkTheSceneUntilItIsSaved) {
  qmhost::Scene scene;
  EXPECT_FALSE(scene.Snapshot().changed);
  scene.Change("", false, [](qmhost::SceneState&) { return false; });  // refused: no change
  EXPECT_FALSE(scene.Snapshot().changed);
  scene.Change("", false, [](qmhost::SceneState& s) { return s.Create("mesh", "", false) == QMe_OK; });
  EXPECT_TRUE(scene.Snapshot().changed);
  scene.SetFile("/tmp/a.scene");
  EXPECT_FALSE(scene.Snapshot().changed);
  EXPECT_EQ(scene.Snapshot().filename, "/tmp/a.scene");
}

}  // namespace
